// The VS1053b decoder chip behind SSP0, as the board wires it: XCS, XDCS
// and XRESET from GPIO outputs (active low), DREQ to a GPIO input.
//
// SCI (XCS low): 4-byte commands, opcode 0x02 write or 0x03 read, register,
// 16-bit value (a read clocks the value out in bytes 3 and 4). MODE's
// SM_RESET resets the decoder and SM_CANCEL ends the stream; CLOCKF and the
// other registers are kept as written. SDI (XDCS low): stream bytes enter a
// 2048-byte input buffer; DREQ is high while at least 32 bytes are free and
// the chip is neither in reset nor booting (about 2 ms after a reset). The
// buffer drains in real time (steady clock) at the bit rate of the MPEG
// frame headers in the stream; bytes before the first header are skipped at
// once, as the chip does with junk. Bytes sent into a full buffer are lost
// and counted.
//
// The model decodes every byte it accepts with libmpg123 and writes the
// audio to a WAV file; each new stream (after a reset or a cancel) starts
// the file afresh, so it holds the stream played last. A cancel or reset
// ends the stream after what has been received, so the file holds all of
// it (the real chip may drop what is still in its buffer).
//
// An SCI write keeps the chip busy, DREQ low, for the time the chip takes
// to carry it out: 1200 XTALI cycles for CLOCKF (the clock switch, about
// 98 us), 80 CLKI cycles for any other register (6.5 us at the reset
// clock, 1.9 us at 3.5 x XTALI). An SCI command whose first byte arrives
// while DREQ is low is counted as a fault (it is carried out all the same).
//
// A byte clocked while neither select is low is lost; when a select was
// low before, it is counted against that select (a driver that raised XCS
// or XDCS while its bytes were still in the SSP).
//
// An underrun is counted when the input buffer of a stream that has begun
// (its first frame header seen) runs empty and stream data comes again: the
// chip went silent in the middle of the stream. One underrun lasts until the
// buffer holds 32 bytes again. The buffer draining after
// the last data of a stream is its end, not an underrun.
//
// Time is the models' clock; bytes arrive with the time their last bit was
// clocked. The DREQ fault switch holds DREQ low whatever the chip does, as
// a dead chip would; resets do not clear it.
#ifndef PATERM_BOARD_SIM_HW_VS1053_H
#define PATERM_BOARD_SIM_HW_VS1053_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim/hw/model_clock.h"
#include "board/sim/hw/mp3_stream.h"
#include "board/sim/hw/mpeg_header.h"
#include "board/sim/hw/spi_device.h"
#include "board/sim/hw/wav_writer.h"

namespace sim::hw {

class Vs1053 : public SpiDevice {
public:
    using Clock = ModelClock::Clock;

    static constexpr int kBufferBytes = 2048;
    static constexpr int kDreqFreeBytes = 32;
    static constexpr auto kBootTime = std::chrono::microseconds(2000);
    static constexpr size_t kResetHistory = 64;
    static constexpr double kXtaliHz = 12288000;
    static constexpr int kClockFWriteXtali = 1200, kWriteClki = 80;  // SCI write times

    // SCI registers and MODE bits.
    static constexpr uint8_t kMode = 0x0, kStatus = 0x1, kClockF = 0x3, kDecodeTime = 0x4, kRegisters = 16;
    static constexpr uint16_t kSmReset = 0x0004, kSmCancel = 0x0008, kSmSdiNew = 0x0800;
    static constexpr uint8_t kOpWrite = 0x02, kOpRead = 0x03;

    struct Stats {
        uint64_t sdiBytes = 0;         // stream bytes accepted
        uint64_t sciWrites = 0, sciReads = 0;
        uint64_t hardwareResets = 0;   // XRESET pulses
        uint64_t softwareResets = 0;   // SM_RESET
        uint64_t cancels = 0;          // SM_CANCEL
        uint64_t overrunBytes = 0;     // sent into a full buffer: lost
        uint64_t ignoredBytes = 0;     // sent while in reset or booting
        uint64_t unselectedBytes = 0;  // clocked with neither select low: lost
        uint64_t bytesAfterXcs = 0;    // of those, after XCS was the select last low
        uint64_t bytesAfterXdcs = 0;   // of those, after XDCS was the select last low
        uint64_t sciWhileDreqLow = 0;  // SCI commands begun while DREQ was low
        uint64_t busConflicts = 0;     // clocked with both selects low
        uint64_t underruns = 0;        // the buffer ran empty mid-stream
        uint64_t decodedSamples = 0;   // sample frames since power-on
        double decodedSeconds = 0;
        uint64_t wavSamples = 0;       // sample frames in the WAV file
        double wavSeconds = 0;
        int wavRate = 0, wavChannels = 0;
        std::string wavPath;
        int bitRate = 0;   // of the stream playing, 0: none
        int buffered = 0;  // bytes in the input buffer
        bool dreq = false, dreqFault = false, inReset = false;
        uint16_t mode = 0, clockf = 0;
    };

    // wavPath may be empty: audio is then counted, not written. The clock
    // is the one the buffer drains and the chip boots by.
    Vs1053(std::string wavPath, const ModelClock* clock) : wavPath_(std::move(wavPath)), clock_(clock) {}

    uint8_t Exchange(uint8_t mosi, Clock::time_point clockedAt) override;
    // The GPIO port's outputs (XCS, XDCS and XRESET bits).
    void SetPins(uint32_t outputs);
    bool Dreq();
    void SetDreqFault(bool on);
    // Backdoor for tests: while on, every byte the SDI accepts is kept, in order.
    void CaptureSdi(bool on);
    std::vector<uint8_t> TakeSdiCapture();

    Stats GetStats();
    std::vector<Clock::time_point> HardwareResetTimes() const;
    // Power-on: in reset (XRESET low), registers at their defaults, counters cleared.
    void PowerOn();

private:
    void Advance(Clock::time_point now);  // drains the buffer
    void EndStream();                     // decodes what is pending, starts afresh
    void FlushPending();
    void ResetRegisters();
    void WriteRegister(uint8_t reg, uint16_t value, Clock::time_point now);
    uint16_t ReadRegister(uint8_t reg) const;
    uint8_t SciByte(uint8_t mosi, Clock::time_point now);
    void SdiByte(uint8_t mosi, Clock::time_point now);
    void OnPcm(int rate, int channels, const uint8_t* pcm, size_t bytes);
    bool Booting(Clock::time_point now) const { return now < bootUntil_; }
    bool DreqAt(Clock::time_point now);  // drains the buffer to now
    Clock::duration WriteTime(uint8_t reg) const;

    enum class Select { kNone, kSci, kSdi };

    const std::string wavPath_;
    const ModelClock* clock_;
    mutable std::mutex mutex_;
    bool xcs_ = false, xdcs_ = false, xreset_ = false;  // pin levels (high = inactive)
    bool fault_ = false;
    Clock::time_point bootUntil_{};
    Clock::time_point sciBusyUntil_{};  // the last SCI write is carried out
    Select lastSelect_ = Select::kNone;
    bool sciFaulted_ = false;  // this XCS low already counted as a fault
    uint16_t regs_[kRegisters] = {};
    uint8_t sci_[4] = {};
    int sciIndex_ = 0;
    double fill_ = 0;            // bytes in the input buffer
    double drainRate_ = 0;       // bytes per second; 0: skipping junk
    Clock::time_point drainedAt_{};
    bool ranDry_ = false;        // the stream's buffer ran empty since its last byte
    bool starved_ = false;       // counted as an underrun, not yet filled again
    bool capture_ = false;
    std::vector<uint8_t> captured_;
    MpegFrameScanner scanner_;
    std::vector<uint8_t> pending_;  // accepted, not yet handed to the decoder
    Mp3Stream mp3_;
    WavWriter wav_;
    bool wavCurrent_ = false;  // the WAV file belongs to the stream playing
    uint64_t streamSamples_ = 0;
    int streamRate_ = 0;
    std::deque<Clock::time_point> resetTimes_;
    Stats stats_;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_VS1053_H
