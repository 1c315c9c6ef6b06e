// The board's sound card "/dev/dsp": the line input the terminal broadcasts
// from, capture only, modelled on an OSS driver. It does one format: signed
// 16-bit little-endian, 2 channels, 48000 Hz. SNDCTL_DSP_SETFMT, _CHANNELS,
// _STEREO and _SPEED accept any request and answer with what the card set
// (OSS semantics: the caller must check the answer); SNDCTL_DSP_SETFRAGMENT
// sets the fragment size and count before the first read; GETBLKSIZE reads
// the fragment size. One open at a time (EBUSY); write opens are refused
// (EINVAL).
//
// Timing: the card's clock starts at the open; byte n of the capture is
// there at open + n / 192000 s. A read waits for the deadline of its last
// byte, computed from the open, never from the previous read, so reads do
// not drift. A program that falls more than the buffer (fragments x size)
// behind loses the oldest data, as the hardware overwrites it (an overrun).
//
// Backdoor: "dsp.source" (silence, a tone, or a WAV file inside the board
// root), "dsp.fault" (the next opens fail with an errno until cleared);
// "dsp" in the status. The source and the fault stay across power cycles
// (they are the outside world and a broken part); counters start again.
//
// Power-off makes a read in flight return (EIO); a late release of the old
// program's session no longer touches the model.
#ifndef PATERM_BOARD_SIM_SOUND_CARD_H
#define PATERM_BOARD_SIM_SOUND_CARD_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class SoundCard : public BoardPart {
public:
    static constexpr int kRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int kFrameBytes = kChannels * 2;              // one sample of each channel
    static constexpr int64_t kBytesPerSecond = kRate * kFrameBytes;  // 192000
    static constexpr int kDefaultFragmentShift = 12;               // 4096 bytes
    static constexpr int kDefaultFragments = 16;

    // What the line input carries: the same signal on both channels, or a
    // WAV file's frames (mono doubled), looped.
    struct Source {
        enum class Kind { kSilence, kTone, kWav } kind = Kind::kSilence;
        int toneHz = 0;
        int amplitude = 0;
        std::string wavPath;         // terminal path
        std::vector<int16_t> frames;  // WAV samples, interleaved stereo
        // One period of the tone, made by the card when the source is set:
        // a read then copies samples instead of computing them.
        std::vector<int16_t> tonePeriod;
    };

    struct Status {
        bool open = false;
        uint64_t opens = 0;        // since power-on
        uint64_t failedOpens = 0;  // refused opens (fault, busy, write) since power-on
        uint64_t bytesRead = 0;
        uint64_t lateReads = 0;
        uint64_t overrunBytes = 0;
        int faultErrno = 0;
    };

    SoundCard(std::string rootDir, OpLog* log);

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOff() override;
    void PowerOn() override;
    void AddStatus(Json& status) const override;

    // The bus side, for the device's sessions; session is Open's value.
    IoResult Open(int flags);
    IoResult Read(uint64_t session, uint8_t* buf, size_t count);
    IoResult Ioctl(uint64_t session, unsigned long request, std::vector<uint8_t>* arg);
    void Release(uint64_t session);

    // The backdoor.
    void SetSource(std::shared_ptr<const Source> source);
    void SetFault(int error);  // 0 clears
    Status GetStatus() const;

private:
    using Clock = std::chrono::steady_clock;

    bool Current(uint64_t session) const;  // mutex held
    Clock::time_point Deadline(uint64_t byte) const;  // mutex held
    void TakeOverrun(Clock::time_point now);  // mutex held
    ControlReply SourceCommand(const Json& request);
    ControlReply FaultCommand(const Json& request);

    const std::string rootDir_;
    OpLog* log_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // power-off ends a read's wait
    bool poweredOff_ = true;  // until the first power-on
    std::shared_ptr<const Source> source_;
    int faultErrno_ = 0;
    // The open session, if any (0: none; ids only grow).
    uint64_t session_ = 0;
    uint64_t lastSession_ = 0;
    Clock::time_point openedAt_;
    uint64_t position_ = 0;  // the next byte the program reads
    bool reading_ = false;   // fragments are fixed once capture runs
    int fragmentShift_ = kDefaultFragmentShift;
    int fragments_ = kDefaultFragments;
    Status counters_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_SOUND_CARD_H
