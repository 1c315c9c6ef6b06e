// Test helper playing the terminal's encoder: a stereo tone (1000 Hz on the
// left, 1500 Hz on the right, amplitude 8000) encoded with the system
// libopus in custom mode as the terminal does (48000 Hz, 512 samples,
// 2 channels, complexity 2, constant 171-byte frames), written to standard
// output as 187-byte stream packets with their 16-byte header.
//   brd_tone_encoder FRAMES BRDID
// A program of its own: the tests decode with the self-built library, and
// one process must not hold both copies of opus_*.
#include <opus/opus_custom.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const long frames = std::strtol(argv[1], nullptr, 10);
    const auto brdId = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    int error = 0;
    OpusCustomMode* mode = opus_custom_mode_create(48000, 512, &error);
    OpusCustomEncoder* enc = mode != nullptr ? opus_custom_encoder_create(mode, 2, &error) : nullptr;
    if (enc == nullptr) return 1;
    opus_custom_encoder_ctl(enc, OPUS_SET_COMPLEXITY(2));
    opus_custom_encoder_ctl(enc, OPUS_SET_VBR(0));

    std::array<uint8_t, 187> packet = {0x0A, 0x09, 0x06, 0x02, 0x01, 0x00};
    for (int i = 0; i < 4; ++i) packet[12 + i] = static_cast<uint8_t>(brdId >> (8 * i));
    std::array<int16_t, 1024> pcm;
    const double pi = std::acos(-1.0);
    int status = 0;
    for (long f = 0; f < frames && status == 0; ++f) {
        for (int i = 0; i < 512; ++i) {
            const double t = static_cast<double>(f * 512 + i) / 48000.0;
            pcm[2 * i] = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * pi * 1000.0 * t)));
            pcm[2 * i + 1] = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * pi * 1500.0 * t)));
        }
        const int n = opus_custom_encode(enc, pcm.data(), 512, packet.data() + 16, 171);
        if (n != 171) status = 1;
        packet[6] = static_cast<uint8_t>(n);
        packet[7] = static_cast<uint8_t>(n >> 8);
        if (std::fwrite(packet.data(), 1, packet.size(), stdout) != packet.size()) status = 1;
    }
    opus_custom_encoder_destroy(enc);
    opus_custom_mode_destroy(mode);
    return status;
}
