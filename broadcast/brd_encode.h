// The broadcast encoder: BrdEncodeTask captures stereo audio from the sound
// card "/dev/dsp", encodes 512-sample frames with the stream codec and sends
// each behind a 16-byte header to the server at the granted port, while the
// central control wants a broadcast. Start and stop are a hand-shake through
// BrdEncodeGate, a semaphore of the runtime with the values 0 and 1.
#ifndef PATERM_BROADCAST_BRD_ENCODE_H
#define PATERM_BROADCAST_BRD_ENCODE_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Fixed stream parameters.
constexpr int32_t kBrdSampleRate = 48000;
constexpr uint8_t kBrdRateCode = 6;  // 48000 in the header's rate table
constexpr int kBrdChannels = 2;
constexpr uint8_t kBrdFrameShift = 9;
constexpr int kBrdFrameSamples = 1 << kBrdFrameShift;                       // per channel
constexpr size_t kBrdPcmBytes = kBrdFrameSamples * kBrdChannels * 2;        // 2048
constexpr int kBrdFrameBytes = ((128000 * (1 << kBrdFrameShift)) / kBrdSampleRate + 4) / 8;  // 171

// The first 16 bytes of every audio datagram. Multi-byte fields are
// little-endian on the wire, whatever the processor.
struct __attribute__((packed)) BrdAudioHdr {
    uint8_t tag;         // 0x0A
    uint8_t frameShift;  // samples per channel per frame = 2^frameShift
    uint8_t rateCode;
    uint8_t channels;
    uint8_t tag2;        // 1
    uint8_t zero1;
    uint16_t dataLen;    // compressed bytes that follow
    uint32_t zero2;
    uint32_t brdId;      // the running broadcast's id, zero-extended
};
static_assert(sizeof(BrdAudioHdr) == 16, "the header is 16 bytes on the wire");
static_assert(offsetof(BrdAudioHdr, dataLen) == 6 && offsetof(BrdAudioHdr, zero2) == 8 &&
                  offsetof(BrdAudioHdr, brdId) == 12,
              "header fields sit at their wire offsets");
constexpr size_t kBrdPacketBytes = sizeof(BrdAudioHdr) + kBrdFrameBytes;  // 187

// Once, from the program's start-up: creates BrdEncodeGate closed, clears
// the run flag and starts BrdEncodeTask idle. 0, or -1 after "Start
// BrdEncodeTask fail! \r".
int BrdEncodeTaskStart(void);

// From the central control, for a granted broadcast: stores the address text
// (at most 31 characters, kept for the record: packets go to gServerIp) and
// the port, and opens the gate. Does nothing while a broadcast runs.
void BrdEncodeStart(const char* addressText, uint16_t port);

// From the central control: ends the broadcast. Returns once the task has
// finished its frame, closed "/dev/dsp" and destroyed the codec objects, so
// the sound path may be reused at once. Does nothing while idle.
void BrdEncodeStop(void);

// The task body (started by BrdEncodeTaskStart); never returns.
void* BrdEncodeTask(void* argument);

// Reads exactly count bytes of capture from fd (a descriptor of the board
// seam), completing short reads while *running is non-zero: count, fewer
// when *running dropped first, or -1 when a read failed or found the end.
ssize_t BrdCaptureRead(int fd, uint8_t* buf, size_t count, const std::atomic<int>* running);

#endif  // PATERM_BROADCAST_BRD_ENCODE_H
