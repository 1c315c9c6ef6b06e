// paterm-server's recording of the broadcast: every valid frame decoded and
// appended to a 48 kHz stereo 16-bit WAV file whose header stays valid as
// it grows. A pause in the stream longer than a gap (kBrdGapMs) becomes
// silence of its length, at most kMaxGapFillMs, so the file keeps the
// stream's timing; a gap or a new broadcast id starts the decoder afresh.
#ifndef PATERM_TOOLS_SERVER_BRD_WAV_H
#define PATERM_TOOLS_SERVER_BRD_WAV_H

#include <cstdint>
#include <string>

#include "board/sim/hw/wav_writer.h"
#include "tools/server/brd_stream.h"
#include "tools/server/stream_decoder.h"

namespace srvproto {

// A longer pause is a broadcast stopped and started again, not lost frames.
constexpr int64_t kMaxGapFillMs = 10000;

class BrdWavRecorder final : public BrdFrameSink {
public:
    // Creates (or empties) path and the decoder; 0, or -1 with *error.
    int Open(const std::string& path, std::string* error);
    int OnFrame(const uint8_t* frame, size_t n, uint32_t brdId, int64_t nowMs, std::string* error) override;
    std::string Figures() const override;

    uint64_t DecodedFrames() const { return decoded_; }
    uint64_t SilentFrames() const { return silent_; }  // gaps and refused frames

private:
    // Silence for the frames a pause of elapsedMs has lost.
    int FillGap(int64_t elapsedMs, std::string* error);
    int Append(const BrdPcmFrame& pcm, std::string* error);

    std::string path_;
    StreamDecoder decoder_;
    sim::hw::WavWriter wav_;
    int64_t lastMs_ = -1;
    uint32_t brdId_ = 0;
    uint64_t decoded_ = 0, silent_ = 0, refused_ = 0;
};

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_BRD_WAV_H
