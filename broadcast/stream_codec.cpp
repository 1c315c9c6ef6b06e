// The stream codec on libopus's custom mode (the default build): CELT frames
// of any size, at a constant bit rate so that every 512-sample frame is
// exactly 171 bytes, as the CELT 0.8 encoder gives them.
#include "broadcast/stream_codec.h"

#include <opus_custom.h>

namespace {

constexpr opus_int32 kBitRate = 128000;

OpusCustomMode* Mode(const StreamCodecMode* mode) {
    return reinterpret_cast<OpusCustomMode*>(const_cast<StreamCodecMode*>(mode));
}
OpusCustomEncoder* Encoder(StreamCodecEncoder* encoder) { return reinterpret_cast<OpusCustomEncoder*>(encoder); }

}  // namespace

const char* StreamCodecName(void) { return "opus-custom"; }

StreamCodecMode* StreamCodecModeCreate(int32_t sampleRate, int frameSize) {
    return reinterpret_cast<StreamCodecMode*>(opus_custom_mode_create(sampleRate, frameSize, nullptr));
}

StreamCodecEncoder* StreamCodecEncoderCreate(const StreamCodecMode* mode, int channels) {
    if (mode == nullptr) return nullptr;
    OpusCustomEncoder* encoder = opus_custom_encoder_create(Mode(mode), channels, nullptr);
    if (encoder == nullptr) return nullptr;
    // Constant bit rate: the frame size does not follow the signal.
    opus_custom_encoder_ctl(encoder, OPUS_SET_VBR(0));
    opus_custom_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitRate));
    return reinterpret_cast<StreamCodecEncoder*>(encoder);
}

// Opus has no prediction switch of the 0.8 kind: long-term prediction is
// always on in its CELT layer, which is what prediction 1 asks for.
void StreamCodecEncoderSetup(StreamCodecEncoder* encoder, int complexity, int /*prediction*/) {
    if (encoder == nullptr) return;
    opus_custom_encoder_ctl(Encoder(encoder), OPUS_SET_COMPLEXITY(complexity));
}

int StreamCodecEncode(StreamCodecEncoder* encoder, const int16_t* pcm, int frameSize, uint8_t* out, int maxBytes) {
    if (encoder == nullptr) return -1;
    return opus_custom_encode(Encoder(encoder), pcm, frameSize, out, maxBytes);
}

void StreamCodecEncoderDestroy(StreamCodecEncoder* encoder) {
    if (encoder != nullptr) opus_custom_encoder_destroy(Encoder(encoder));
}

void StreamCodecModeDestroy(StreamCodecMode* mode) {
    if (mode != nullptr) opus_custom_mode_destroy(Mode(mode));
}
