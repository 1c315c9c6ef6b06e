// sample-tone: the sound of one file of the sample SD card, as raw PCM for
// lame (44100 Hz, stereo, signed 16-bit little-endian) on standard output.
//   sample-tone HZ SECONDS [BEEPS]
// BEEPS short beeps come first, so a listener can tell the files apart by
// ear; then the tone holds to the end. Every edge is faded over 10 ms so
// nothing clicks. Exit status 0, 1 when the output fails, 2 for a usage error.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr double kAmplitude = 9000.0;  // well below full scale: a demo, not a test signal
constexpr double kFadeSeconds = 0.010;
constexpr double kBeepSeconds = 0.15;
constexpr double kGapSeconds = 0.10;
constexpr int kMaxBeeps = 10;
constexpr double kPi = 3.14159265358979323846;

struct Request {
    double hz = 0;
    double seconds = 0;
    int beeps = 0;
};

bool ParseNumber(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
    *out = value;
    return true;
}

bool Parse(int argc, char** argv, Request* request) {
    if (argc < 3 || argc > 4) return false;
    double beeps = 0;
    if (!ParseNumber(argv[1], 20, 20000, &request->hz) || !ParseNumber(argv[2], 0.5, 60, &request->seconds))
        return false;
    if (argc == 4 && (!ParseNumber(argv[3], 0, kMaxBeeps, &beeps) || beeps != std::floor(beeps))) return false;
    request->beeps = static_cast<int>(beeps);
    return true;
}

// Gain of the envelope at time t: the beeps, then the held tone, each
// with faded edges.
double Envelope(const Request& r, double t) {
    const double period = kBeepSeconds + kGapSeconds;
    const double beepsEnd = r.beeps * period;
    double start = 0, end = 0;
    if (t < beepsEnd) {
        start = std::floor(t / period) * period;
        end = start + kBeepSeconds;
    } else {
        start = beepsEnd;
        end = r.seconds;
    }
    if (t < start || t >= end) return 0;
    return std::min({1.0, (t - start) / kFadeSeconds, (end - t) / kFadeSeconds});
}

}  // namespace

int main(int argc, char** argv) {
    Request request;
    if (!Parse(argc, argv, &request)) {
        std::fputs("usage: sample-tone HZ SECONDS [BEEPS]\n"
                   "  HZ 20..20000, SECONDS 0.5..60, BEEPS 0..10; raw 44100 Hz stereo s16le on stdout\n",
                   stderr);
        return 2;
    }
    const long frames = std::lround(request.seconds * kRate);
    std::array<uint8_t, 4096> block{};
    size_t used = 0;
    for (long i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double sample = kAmplitude * Envelope(request, t) * std::sin(2 * kPi * request.hz * t);
        const auto value = static_cast<uint16_t>(static_cast<int16_t>(std::lround(sample)));
        for (int c = 0; c < kChannels; ++c) {
            block[used++] = static_cast<uint8_t>(value & 0xFF);
            block[used++] = static_cast<uint8_t>(value >> 8);
        }
        if (used == block.size() || i + 1 == frames) {
            if (std::fwrite(block.data(), 1, used, stdout) != used) return 1;
            used = 0;
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
