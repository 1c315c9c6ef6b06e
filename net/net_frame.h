// NetFrame: the envelope of every server, group and peer datagram.
//
//   0x68 | len (2, little-endian, N + 12) | 0x68 | cmd | devId (10) |
//   payload (N) | cs (sum of cmd, devId and payload, modulo 256) | 0x03
//
// A frame is N + 17 bytes. Shared by the terminal and the tools that talk to
// it (server simulator, peer tool), so both build and check frames one way.
#ifndef PATERM_NET_NET_FRAME_H
#define PATERM_NET_NET_FRAME_H

#include <cstddef>
#include <cstdint>

constexpr uint8_t kNetFrameHead = 0x68;
constexpr uint8_t kNetFrameTail = 0x03;
constexpr size_t kNetFrameDevIdLength = 10;
constexpr size_t kNetFrameOverhead = 17;       // everything but the payload
constexpr size_t kNetFramePayloadOffset = 15;  // cmd at 4, devId at 5..14
constexpr uint16_t kNetFrameLenBase = 12;      // len = N + 12

// The frame's len field when the n bytes form a valid NetFrame (both heads,
// n == len + 5, checksum, tail), else 0.
int FrameCheck(const uint8_t* buf, size_t n);

// Builds a frame of cmd, devId (10 bytes) and payload (may be null when n is
// 0) into out, which holds cap bytes. Returns the frame's length, or 0 when
// it does not fit.
size_t NetFrameBuild(uint8_t* out, size_t cap, uint8_t cmd, const uint8_t* devId, const uint8_t* payload, size_t n);

// The payload length of a frame FrameCheck accepted (len − 12), given its
// len field; callers check their command's minimum against it.
constexpr size_t NetFramePayloadLength(int len) { return len >= kNetFrameLenBase ? static_cast<size_t>(len) - kNetFrameLenBase : 0; }

#endif  // PATERM_NET_NET_FRAME_H
