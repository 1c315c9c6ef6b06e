// MPEG audio frame headers (MPEG-1, -2 and 2.5, layers I to III): what the
// decoder model needs to pace its input buffer, the bit rate, and to find
// frames in a byte stream: the frame length and samples per frame.
#ifndef PATERM_BOARD_SIM_HW_MPEG_HEADER_H
#define PATERM_BOARD_SIM_HW_MPEG_HEADER_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace sim::hw {

struct MpegHeader {
    int version = 1;  // 1, 2, or 25 for MPEG-2.5
    int layer = 3;
    int bitRate = 0;  // bits per second
    int sampleRate = 0;
    int samplesPerFrame = 0;
    int frameBytes = 0;
    int channels = 2;
};

// The header in the four bytes at h, if they are a valid one (free format
// and reserved values are not).
std::optional<MpegHeader> ParseMpegHeader(const uint8_t h[4]);

// Follows a byte stream frame by frame: finds the first header, skips each
// frame's body, and resynchronises byte by byte after anything else.
class MpegFrameScanner {
public:
    // A header that completes with this byte, else nothing.
    std::optional<MpegHeader> Push(uint8_t byte);
    void Reset();
    bool Synced() const { return synced_; }

private:
    uint8_t window_[4] = {};
    int filled_ = 0;
    long skip_ = 0;
    bool synced_ = false;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_MPEG_HEADER_H
