// Creating, running and destroying the opus custom-mode decoder.
#include "tools/server/stream_decoder.h"

#include <opus/opus_custom.h>

namespace srvproto {
namespace {

constexpr size_t kMaxFrameBytes = 1275;  // the codec's largest frame

}  // namespace

void StreamDecoder::ModeDelete::operator()(OpusCustomMode* mode) const { opus_custom_mode_destroy(mode); }

void StreamDecoder::DecoderDelete::operator()(OpusCustomDecoder* decoder) const {
    opus_custom_decoder_destroy(decoder);
}

int StreamDecoder::Create() {
    Destroy();
    int error = OPUS_OK;
    mode_.reset(opus_custom_mode_create(kBrdSampleRate, kBrdFrameSamples, &error));
    if (mode_ == nullptr) return error != OPUS_OK ? error : OPUS_ALLOC_FAIL;
    decoder_.reset(opus_custom_decoder_create(mode_.get(), kBrdChannels, &error));
    if (decoder_ == nullptr) {
        mode_.reset();
        return error != OPUS_OK ? error : OPUS_ALLOC_FAIL;
    }
    return 0;
}

int StreamDecoder::Decode(const uint8_t* frame, size_t n, BrdPcmFrame* pcm) {
    pcm->fill(0);
    if (decoder_ == nullptr) return OPUS_INVALID_STATE;
    // An empty frame would ask the codec to conceal a loss: not a frame.
    if (frame == nullptr || n == 0 || n > kMaxFrameBytes) return OPUS_BAD_ARG;
    const int got = opus_custom_decode(decoder_.get(), frame, static_cast<int>(n), pcm->data(), kBrdFrameSamples);
    if (got != kBrdFrameSamples) {
        pcm->fill(0);
        return got < 0 ? got : OPUS_INTERNAL_ERROR;
    }
    return got;
}

void StreamDecoder::Reset() {
    if (decoder_ != nullptr) opus_custom_decoder_ctl(decoder_.get(), OPUS_RESET_STATE);
}

void StreamDecoder::Destroy() {
    decoder_.reset();
    mode_.reset();
}

}  // namespace srvproto
