// Makes small MP3 files for tests without an encoder: MPEG-1 Layer III
// frames at 128 kbit/s and 44.1 kHz whose side information and main data are
// all zero, which decode as silence of 1152 samples per frame.
#ifndef PATERM_TESTS_SUPPORT_MP3_FIXTURE_H
#define PATERM_TESTS_SUPPORT_MP3_FIXTURE_H

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

constexpr int kSilentFrameBytes = 417;  // 144 * 128000 / 44100, no padding
constexpr int kSamplesPerFrame = 1152;
constexpr int kSilentFrameRate = 44100;

inline std::vector<uint8_t> SilentMp3(int frames) {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(frames) * kSilentFrameBytes);
    for (int i = 0; i < frames; ++i) {
        const uint8_t header[4] = {0xFF, 0xFB, 0x90, 0xC0};  // sync, MPEG-1 L3, 128k, 44.1k, mono
        bytes.insert(bytes.end(), header, header + 4);
        bytes.insert(bytes.end(), kSilentFrameBytes - 4, 0);
    }
    return bytes;
}

inline void WriteSilentMp3(const std::string& hostPath, int frames) {
    const std::vector<uint8_t> bytes = SilentMp3(frames);
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testsupport

#endif  // PATERM_TESTS_SUPPORT_MP3_FIXTURE_H
