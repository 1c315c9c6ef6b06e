// One MPEG audio stream decoded with libmpg123 as its bytes arrive (feed
// mode): junk between frames is skipped, and every decoded frame goes to a
// sink as 16-bit PCM with its rate and channel count.
#ifndef PATERM_BOARD_SIM_HW_MP3_STREAM_H
#define PATERM_BOARD_SIM_HW_MP3_STREAM_H

#include <cstddef>
#include <cstdint>
#include <functional>

struct mpg123_handle_struct;

namespace sim::hw {

class Mp3Stream {
public:
    using PcmSink = std::function<void(int sampleRate, int channels, const uint8_t* pcm, size_t bytes)>;

    Mp3Stream();
    ~Mp3Stream();
    Mp3Stream(const Mp3Stream&) = delete;
    Mp3Stream& operator=(const Mp3Stream&) = delete;

    void Feed(const uint8_t* data, size_t len, const PcmSink& sink);
    // Drops the decoder's state: the next bytes start a new stream.
    void Restart();
    bool Ok() const { return handle_ != nullptr; }

private:
    void Open();
    void Close();

    mpg123_handle_struct* handle_ = nullptr;
    int sampleRate_ = 0;
    int channels_ = 0;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_MP3_STREAM_H
