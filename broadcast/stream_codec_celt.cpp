// The stream codec on the CELT 0.8 library: the calls the terminal's
// receivers were built for. Error pointers are passed as null.
#include "broadcast/stream_codec.h"

#include <celt.h>

namespace {

CELTMode* Mode(const StreamCodecMode* mode) { return reinterpret_cast<CELTMode*>(const_cast<StreamCodecMode*>(mode)); }
CELTEncoder* Encoder(StreamCodecEncoder* encoder) { return reinterpret_cast<CELTEncoder*>(encoder); }

}  // namespace

const char* StreamCodecName(void) { return "celt-0.8"; }

StreamCodecMode* StreamCodecModeCreate(int32_t sampleRate, int frameSize) {
    return reinterpret_cast<StreamCodecMode*>(celt_mode_create(sampleRate, frameSize, nullptr));
}

StreamCodecEncoder* StreamCodecEncoderCreate(const StreamCodecMode* mode, int channels) {
    if (mode == nullptr) return nullptr;
    return reinterpret_cast<StreamCodecEncoder*>(celt_encoder_create(Mode(mode), channels, nullptr));
}

void StreamCodecEncoderSetup(StreamCodecEncoder* encoder, int complexity, int prediction) {
    if (encoder == nullptr) return;
    celt_encoder_ctl(Encoder(encoder), CELT_SET_COMPLEXITY(complexity));
    celt_encoder_ctl(Encoder(encoder), CELT_SET_PREDICTION(prediction));
}

int StreamCodecEncode(StreamCodecEncoder* encoder, const int16_t* pcm, int frameSize, uint8_t* out, int maxBytes) {
    if (encoder == nullptr) return -1;
    return celt_encode(Encoder(encoder), pcm, frameSize, out, maxBytes);
}

void StreamCodecEncoderDestroy(StreamCodecEncoder* encoder) {
    if (encoder != nullptr) celt_encoder_destroy(Encoder(encoder));
}

void StreamCodecModeDestroy(StreamCodecMode* mode) {
    if (mode != nullptr) celt_mode_destroy(Mode(mode));
}
