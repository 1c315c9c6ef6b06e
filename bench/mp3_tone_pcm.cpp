// Writes a stereo tone as raw 16-bit little-endian PCM at 44.1 kHz (the
// input lame turns into the feed bench's 320 kbit/s MP3): out-file seconds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s out.raw seconds\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[2]);
    FILE* out = std::fopen(argv[1], "wb");
    if (!out || seconds <= 0) return 1;
    constexpr int kRate = 44100;
    constexpr double kPi = 3.14159265358979323846;
    for (long i = 0; i < static_cast<long>(seconds) * kRate; ++i) {
        const double t = static_cast<double>(i) / kRate;
        // Two tones, one a channel, so the encoder has something to spend 320 kbit/s on.
        const int16_t frame[2] = {static_cast<int16_t>(12000 * std::sin(2 * kPi * 440 * t)),
                                  static_cast<int16_t>(9000 * std::sin(2 * kPi * 1250 * t))};
        const uint8_t bytes[4] = {static_cast<uint8_t>(frame[0]), static_cast<uint8_t>(frame[0] >> 8),
                                  static_cast<uint8_t>(frame[1]), static_cast<uint8_t>(frame[1] >> 8)};
        if (std::fwrite(bytes, 1, sizeof bytes, out) != sizeof bytes) return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
