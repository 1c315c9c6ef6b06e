// MPEG audio header tables and the frame scanner.
#include "board/sim/hw/mpeg_header.h"

#include <cstring>

namespace sim::hw {
namespace {

// kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index]; index 0 (free) and 15 are invalid.
constexpr int kBitRates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
constexpr int kSampleRates[3] = {44100, 48000, 32000};  // MPEG-1; halved for 2, quartered for 2.5

}  // namespace

std::optional<MpegHeader> ParseMpegHeader(const uint8_t h[4]) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
    const int versionBits = (h[1] >> 3) & 3, layerBits = (h[1] >> 1) & 3;
    const int rateIndex = h[2] >> 4, srIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) return std::nullopt;
    MpegHeader m;
    m.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    m.layer = 4 - layerBits;
    const bool mpeg1 = m.version == 1;
    m.bitRate = kBitRates[mpeg1 ? 0 : 1][m.layer - 1][rateIndex] * 1000;
    m.sampleRate = kSampleRates[srIndex] / (mpeg1 ? 1 : m.version == 2 ? 2 : 4);
    m.channels = (h[3] >> 6) == 3 ? 1 : 2;
    if (m.layer == 1) {
        m.samplesPerFrame = 384;
        m.frameBytes = (12 * m.bitRate / m.sampleRate + padding) * 4;
    } else if (m.layer == 2 || mpeg1) {
        m.samplesPerFrame = 1152;
        m.frameBytes = 144 * m.bitRate / m.sampleRate + padding;
    } else {
        m.samplesPerFrame = 576;
        m.frameBytes = 72 * m.bitRate / m.sampleRate + padding;
    }
    return m;
}

std::optional<MpegHeader> MpegFrameScanner::Push(uint8_t byte) {
    if (skip_ > 0) {
        --skip_;
        return std::nullopt;
    }
    window_[filled_++] = byte;
    if (filled_ < 4) return std::nullopt;
    std::optional<MpegHeader> header = ParseMpegHeader(window_);
    if (header) {
        filled_ = 0;
        skip_ = header->frameBytes - 4;
        synced_ = true;
        return header;
    }
    std::memmove(window_, window_ + 1, 3);
    filled_ = 3;
    synced_ = false;
    return std::nullopt;
}

void MpegFrameScanner::Reset() {
    filled_ = 0;
    skip_ = 0;
    synced_ = false;
}

}  // namespace sim::hw
