// SSP_CTRL and the rest of the clock and power block.
#include "board/sim/hw/clock_power.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

uint32_t ClockPower::Read(uint32_t offset) {
    if (offset == clkpwr::kSspCtrl) return sspCtrl_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = others_.find(offset);
    return it == others_.end() ? 0 : it->second;
}

void ClockPower::Write(uint32_t offset, uint32_t value) {
    if (offset == clkpwr::kSspCtrl) {
        sspCtrl_ = value & 0x3F;  // six defined bits
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    others_[offset] = value;
}

void ClockPower::PowerOn() {
    sspCtrl_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    others_.clear();
}

}  // namespace sim::hw
