// The terminal's audio routing circuit: the board GPIO driver "/dev/gpio"
// and the i2c-dev adapter "/dev/i2c-0" with the four PT2314-like audio
// processors behind it. All four answer to the one address 0x44; a
// processor hears the bus only while its select line (GPIO outputs 0 to 3,
// active low, channel n on line n - 1) is low. GPIO output 4 exists but
// drives nothing; GPIO input 4 is the audio-present input.
//
// Bus side: the GPIO driver takes two requests, each carrying an 8-byte
// record (int32 pin, int32 value): 0x80046700 reads input 4, 0x40046700
// drives outputs 0 to 4 to 0 or 1; any other pin, value or request fails
// with EINVAL. The adapter accepts I2C_SLAVE 0x44 (another address: ENXIO,
// above 0x7F: EINVAL), one address per descriptor. A byte written while
// exactly one select line is low goes to that processor; with none low
// nobody acknowledges (ENXIO), with several low every selected processor
// takes it. Both are bus faults: counted and logged.
//
// Backdoor: "gpio.input" sets the audio-present input (it comes from
// outside the board and survives power cycles); "audio.chips" reports the
// lines, the processors' decoded state and the bus faults; "audio_bus" in
// the status. Tests read the trace of line changes and bytes.
//
// Power-off fails every later call of the old program's sessions (EIO);
// power-on drives the lines high and returns the processors to their reset
// state, in which no register has been written.
#ifndef PATERM_BOARD_SIM_AUDIO_BUS_H
#define PATERM_BOARD_SIM_AUDIO_BUS_H

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class AudioBus : public BoardPart {
public:
    static constexpr int kChips = 4;
    static constexpr int kOutputs = 5;
    static constexpr int kInputPin = 4;
    static constexpr int kChipAddress = 0x44;
    static constexpr size_t kTraceKeep = 4096;

    // One processor's registers as the bytes it received set them; -1 for
    // one not written since power-on.
    struct Chip {
        int volume = -1;  // 0 (loudest) to 63
        int leftAttenuation = -1;  // 0 to 31, 31 muted
        int rightAttenuation = -1;
        int input = -1;   // the whole input switch byte
        int bass = -1;    // tone code, low nibble
        int treble = -1;
        uint64_t bytes = 0;
        uint64_t unknownBytes = 0;  // 0x80 to 0xBF: not a PT2314 command
        void Decode(uint8_t byte);
    };

    explicit AudioBus(OpLog* log) : log_(log) {}

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOff() override;
    void PowerOn() override;
    void AddStatus(Json& status) const override;

    // The bus side, for the devices' sessions; generation is the power
    // cycle the session was opened in.
    uint64_t Generation() const;
    IoResult GpioIoctl(uint64_t generation, unsigned long request, uint64_t rawArg, std::vector<uint8_t>* arg);
    IoResult I2cWrite(uint64_t generation, const uint8_t* data, size_t count);

    // The backdoor.
    void SetInput(int value);
    std::array<Chip, kChips> Chips() const;
    uint8_t OutputLevels() const;  // bit n: output n is high
    uint64_t BusFaults() const;
    // Line changes ("gpio 3=0") and bytes with the lines low at the time
    // ("i2c DF sel 4", "i2c 50 sel none", "i2c 50 sel 1,2"; processors by
    // channel), oldest first, the newest kTraceKeep of them.
    std::vector<std::string> Trace() const;
    void ClearTrace();
    Json ChipsJson() const;

private:
    IoResult ReadInput(std::vector<uint8_t>* arg);
    IoResult SetOutput(const std::vector<uint8_t>& arg);
    void Record(std::string event);  // mutex held

    OpLog* log_;
    mutable std::mutex mutex_;
    uint64_t generation_ = 0;  // odd while powered on
    uint8_t outputs_ = 0;      // bit n: output n is high
    int input_ = 0;
    std::array<Chip, kChips> chips_{};
    uint64_t busFaults_ = 0;
    std::deque<std::string> trace_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_AUDIO_BUS_H
