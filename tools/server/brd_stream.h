// The broadcast stream as the server receives it: the 16-byte header of
// each audio datagram and the running figures paterm-server prints
// (packets per second, bad headers, broadcast id, gaps).
#ifndef PATERM_TOOLS_SERVER_BRD_STREAM_H
#define PATERM_TOOLS_SERVER_BRD_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace srvproto {

constexpr size_t kBrdHeaderLength = 16;
constexpr size_t kBrdFrameLength = 171;  // one CELT frame at 128 kbit/s
constexpr size_t kBrdPacketLength = kBrdHeaderLength + kBrdFrameLength;
// One frame lasts 512 / 48000 s = 10.67 ms; a silence of five frames is a gap.
constexpr int64_t kBrdGapMs = 54;

// Results of DecodeBrdHeader.
constexpr int kBrdOk = 0;
constexpr int kBrdShort = -1;      // fewer than 16 bytes
constexpr int kBrdBadFormat = -2;  // tags, frame shift, rate, channels or zero fields
constexpr int kBrdBadLength = -3;  // dataLen is not 171 or not what follows the header

struct BrdHeader {
    uint8_t frameShift = 0, rateCode = 0, channels = 0;
    uint16_t dataLen = 0;
    uint32_t brdId = 0;
};
int DecodeBrdHeader(const uint8_t* buf, size_t n, BrdHeader* out);

// Fed every datagram with its arrival time; not thread-safe (one receiver).
class BrdStreamStats {
public:
    struct Window {
        uint32_t packets = 0;      // all datagrams in the window
        uint32_t perSecond = 0;    // packets scaled to one second
        uint32_t badHeaders = 0;   // in the window
        uint32_t gaps = 0;         // in the window
        uint32_t brdId = 0;        // of the last valid packet
        uint64_t totalFrames = 0;  // valid frames since the start
    };

    // True when the datagram carries a valid frame (at buf + 16, 171 bytes).
    bool OnPacket(const uint8_t* buf, size_t n, int64_t nowMs);
    // The figures since the last call (or the first packet), and a new window.
    Window TakeWindow(int64_t nowMs);
    bool Active() const { return windowPackets_ != 0; }
    uint32_t BrdId() const { return brdId_; }  // of the last valid packet
    uint32_t BrdIdChanges() const { return brdIdChanges_; }

private:
    int64_t windowStartMs_ = -1;
    int64_t lastValidMs_ = -1;
    uint32_t windowPackets_ = 0, windowBad_ = 0, windowGaps_ = 0;
    uint32_t brdId_ = 0, brdIdChanges_ = 0;
    bool haveBrdId_ = false;
    uint64_t totalFrames_ = 0;
};

// Where paterm-server hands each valid frame besides counting it (the WAV
// recorder, tools/server/brd_wav.h). Called from the receiver thread only.
class BrdFrameSink {
public:
    virtual ~BrdFrameSink() = default;
    // 0, or -1 with *error once the sink cannot go on (it is then dropped).
    virtual int OnFrame(const uint8_t* frame, size_t n, uint32_t brdId, int64_t nowMs, std::string* error) = 0;
    // Its part of the stream's figures line.
    virtual std::string Figures() const = 0;
};

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_BRD_STREAM_H
