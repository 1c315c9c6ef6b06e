// The broadcast stream's codec seam: the few calls the encoder task makes,
// shaped as the CELT 0.8 series (a mode for the rate and frame size, an
// encoder on the mode, complexity and prediction, fixed-size frames).
//
// Two builds, chosen by CMake: the CELT 0.8 library when it is found
// (stream_codec_celt.cpp), otherwise libopus's custom mode with constant bit
// rate (stream_codec.cpp). The two do not decode each other's frames: a
// receiver must decode with the build the terminal streams with
// (docs/broadcast.md).
//
// Every call is made by one task at a time; the objects are created when a
// broadcast starts and destroyed when it ends, never per frame.
#ifndef PATERM_BROADCAST_STREAM_CODEC_H
#define PATERM_BROADCAST_STREAM_CODEC_H

#include <cstdint>

struct StreamCodecMode;     // opaque: the library's mode
struct StreamCodecEncoder;  // opaque: the library's encoder

// The codec the build streams with: "celt-0.8" or "opus-custom".
const char* StreamCodecName(void);

// A mode for sampleRate and frameSize (samples per channel), or null.
StreamCodecMode* StreamCodecModeCreate(int32_t sampleRate, int frameSize);
// A stereo or mono encoder on mode, or null.
StreamCodecEncoder* StreamCodecEncoderCreate(const StreamCodecMode* mode, int channels);
// Complexity and long-term prediction; results are ignored, as a request
// the library does not know changes nothing.
void StreamCodecEncoderSetup(StreamCodecEncoder* encoder, int complexity, int prediction);
// Encodes frameSize interleaved 16-bit samples per channel into at most
// maxBytes: the bytes written, or <= 0 on error.
int StreamCodecEncode(StreamCodecEncoder* encoder, const int16_t* pcm, int frameSize, uint8_t* out, int maxBytes);
// Null is ignored. Destroy the encoder before its mode.
void StreamCodecEncoderDestroy(StreamCodecEncoder* encoder);
void StreamCodecModeDestroy(StreamCodecMode* mode);

#endif  // PATERM_BROADCAST_STREAM_CODEC_H
