// Test support for the broadcast's decoding: the tone packets of the
// brd_tone_encoder helper (the system libopus, as on the terminal), the
// WAV files paterm-server writes, and the figures of a decoded tone.
#ifndef PATERM_TESTS_SERVER_BRD_TONE_H
#define PATERM_TESTS_SERVER_BRD_TONE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace brdtone {

using Bytes = std::vector<uint8_t>;
constexpr size_t kPacketBytes = 187;
constexpr size_t kFrameSamples = 1024;  // 512 per channel, interleaved
constexpr double kLeftHz = 1000.0, kRightHz = 1500.0;

// frames packets of the tone, from a fresh encoder; empty on failure.
inline std::vector<Bytes> EncodeTone(int frames, uint32_t brdId) {
    const std::string cmd = std::string(PATERM_TONE_ENCODER) + " " + std::to_string(frames) + " " +
                            std::to_string(brdId);
    std::vector<Bytes> packets;
    FILE* in = popen(cmd.c_str(), "r");
    if (in == nullptr) return packets;
    Bytes p(kPacketBytes);
    while (std::fread(p.data(), 1, p.size(), in) == p.size()) packets.push_back(p);
    if (pclose(in) != 0) packets.clear();
    return packets;
}

struct Wav {
    bool ok = false;  // a 44-byte header of 48 kHz stereo 16-bit PCM whose sizes match the file
    std::vector<int16_t> samples;
    size_t Frames() const { return samples.size() / kFrameSamples; }
    bool SilentFrame(size_t f) const {
        for (size_t i = f * kFrameSamples; i < (f + 1) * kFrameSamples; ++i) {
            if (samples[i] != 0) return false;
        }
        return true;
    }
};

inline uint32_t Le(const std::string& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

inline Wav ReadWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Wav w;
    if (b.size() < 44) return w;
    w.ok = b.compare(0, 4, "RIFF") == 0 && Le(b, 4, 4) == b.size() - 8 && b.compare(8, 8, "WAVEfmt ") == 0 &&
           Le(b, 16, 4) == 16 && Le(b, 20, 2) == 1 && Le(b, 22, 2) == 2 && Le(b, 24, 4) == 48000 &&
           Le(b, 28, 4) == 192000 && Le(b, 32, 2) == 4 && Le(b, 34, 2) == 16 && b.compare(36, 4, "data") == 0 &&
           Le(b, 40, 4) == b.size() - 44 && (b.size() - 44) % (2 * kFrameSamples) == 0;
    for (size_t i = 44; i + 1 < b.size(); i += 2) w.samples.push_back(static_cast<int16_t>(Le(b, i, 2)));
    return w;
}

// One channel's RMS and tone amplitudes (Goertzel) at its own frequency, at
// the other channel's, and 250 Hz either side.
struct Figures {
    double rms = 0, own = 0, other = 0, below = 0, above = 0;
};

inline double Amplitude(const std::vector<double>& x, double hz) {
    const double w = 2 * std::acos(-1.0) * hz / 48000.0, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (double v : x) {
        const double s = v + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - c * s1 * s2)) / static_cast<double>(x.size());
}

// Over the frames whose indices are listed; channel 0 left, 1 right.
inline Figures ToneFigures(const Wav& wav, const std::vector<size_t>& frames, int channel) {
    std::vector<double> x;
    for (size_t f : frames) {
        for (size_t i = f * kFrameSamples + channel; i < (f + 1) * kFrameSamples; i += 2) x.push_back(wav.samples[i]);
    }
    Figures r;
    if (x.empty()) return r;
    double sum = 0;
    for (double v : x) sum += v * v;
    r.rms = std::sqrt(sum / static_cast<double>(x.size()));
    const double own = channel == 0 ? kLeftHz : kRightHz, other = channel == 0 ? kRightHz : kLeftHz;
    r.own = Amplitude(x, own);
    r.other = Amplitude(x, other);
    r.below = Amplitude(x, own - 250);
    r.above = Amplitude(x, own + 250);
    return r;
}

// The decoded frames hold the tone that went in, channel by channel (a wrong
// frame size, channel count or frame offset gives something else).
inline void ExpectTone(const Wav& wav, const std::vector<size_t>& frames, const std::string& what) {
    for (int channel = 0; channel < 2; ++channel) {
        const Figures f = ToneFigures(wav, frames, channel);
        SCOPED_TRACE(what + (channel == 0 ? " left" : " right"));
        EXPECT_GT(f.rms, 5200);  // 8000 / sqrt(2) = 5657 went in
        EXPECT_LT(f.rms, 6000);
        EXPECT_GT(f.own, 7300);
        EXPECT_LT(f.own, 8600);
        EXPECT_LT(f.other, f.own / 100);
        EXPECT_LT(f.below, f.own / 100);
        EXPECT_LT(f.above, f.own / 100);
    }
}

}  // namespace brdtone

#endif  // PATERM_TESTS_SERVER_BRD_TONE_H
