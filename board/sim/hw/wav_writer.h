// A 16-bit PCM WAV file that stays valid while it grows: after every
// append the RIFF and data sizes in its header are rewritten, so a person
// can open the file at any moment and hear what has been written so far.
#ifndef PATERM_BOARD_SIM_HW_WAV_WRITER_H
#define PATERM_BOARD_SIM_HW_WAV_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "board/sim/unique_fd.h"

namespace sim::hw {

class WavWriter {
public:
    static constexpr size_t kHeaderBytes = 44;

    // Truncates path and writes the header of an empty file.
    bool Start(const std::string& path, int sampleRate, int channels);
    // Whole 16-bit frames; false once the file cannot grow (4 GiB) or fails.
    bool Append(const uint8_t* pcm, size_t bytes);
    void Close() { fd_.Reset(); }

    bool IsOpen() const { return static_cast<bool>(fd_); }
    uint64_t DataBytes() const { return dataBytes_; }
    int SampleRate() const { return sampleRate_; }
    int Channels() const { return channels_; }

private:
    bool WriteSizes();

    UniqueFd fd_;
    uint64_t dataBytes_ = 0;
    int sampleRate_ = 0;
    int channels_ = 0;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_WAV_WRITER_H
