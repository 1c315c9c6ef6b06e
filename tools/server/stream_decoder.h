// The receivers' decoder of the broadcast stream: one opus custom-mode
// decoder (48000 Hz, 512 samples per frame, 2 channels) turning each
// 171-byte frame back into 512 interleaved stereo samples. It runs on the
// self-built opus library (cmake/opus_custom.cmake), never the system one.
#ifndef PATERM_TOOLS_SERVER_STREAM_DECODER_H
#define PATERM_TOOLS_SERVER_STREAM_DECODER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct OpusCustomMode;
struct OpusCustomDecoder;

namespace srvproto {

constexpr int kBrdSampleRate = 48000;
constexpr int kBrdFrameSamples = 512;  // per channel
constexpr int kBrdChannels = 2;
using BrdPcmFrame = std::array<int16_t, kBrdFrameSamples * kBrdChannels>;

class StreamDecoder {
public:
    // 0, or the codec's error code (< 0) and nothing created.
    int Create();
    // Samples per channel written to pcm (512), or < 0 for a frame the codec
    // refuses (pcm then holds silence).
    int Decode(const uint8_t* frame, size_t n, BrdPcmFrame* pcm);
    // Forgets the previous frames: a new broadcast comes from a new encoder.
    void Reset();
    void Destroy();
    bool Created() const { return decoder_ != nullptr; }

private:
    struct ModeDelete {
        void operator()(OpusCustomMode* mode) const;
    };
    struct DecoderDelete {
        void operator()(OpusCustomDecoder* decoder) const;
    };
    // The decoder refers to the mode: declared after it, destroyed before it.
    std::unique_ptr<OpusCustomMode, ModeDelete> mode_;
    std::unique_ptr<OpusCustomDecoder, DecoderDelete> decoder_;
};

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_STREAM_DECODER_H
