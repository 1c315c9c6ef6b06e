// The board's wall clock, kept as offsets from the host clock so that the
// host clock is only ever read: the system clock (DIR/sim/clock) and the
// battery-backed hardware clock (DIR/sim/hwclock). Power-on loads the system
// clock from the hardware clock, as the terminal's start scripts do.
//
// Backdoor: "clock.jump" shifts the system clock by whole seconds, as a
// wrong setting or a drifting time source would; the hardware clock keeps
// its time.
#ifndef PATERM_BOARD_SIM_WALL_CLOCK_H
#define PATERM_BOARD_SIM_WALL_CLOCK_H

#include <cstdint>
#include <mutex>
#include <string>

#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class WallClock : public BoardPart {
public:
    WallClock(std::string systemFile, std::string hardwareFile, OpLog* log);

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOn() override;
    // "clock": the system and hardware clocks as the board keeps them.
    void AddStatus(Json& status) const override;
    int64_t SystemOffsetUs() const;
    int64_t HardwareOffsetUs() const;
    // settimeofday: the system clock now reads sec.usec.
    void SetSystem(int64_t sec, int64_t usec);
    // "hwclock -w": the hardware clock takes the system clock.
    void WriteHardware();
    // "clock.jump": the system clock moves by seconds (either way).
    void JumpSystem(int64_t seconds);

    static int64_t HostNowUs();

private:
    std::string systemFile_;
    std::string hardwareFile_;
    OpLog* log_;
    mutable std::mutex mutex_;
    int64_t systemOffsetUs_ = 0;
    int64_t hardwareOffsetUs_ = 0;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_WALL_CLOCK_H
