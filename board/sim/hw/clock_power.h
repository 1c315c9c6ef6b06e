// The clock and power block, as far as the board uses it: SSP_CTRL, which
// gates SSP0's clock and routes its DMA requests. Other registers of the
// block are kept as written.
#ifndef PATERM_BOARD_SIM_HW_CLOCK_POWER_H
#define PATERM_BOARD_SIM_HW_CLOCK_POWER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "board/sim/hw/bus.h"

namespace sim::hw {

class ClockPower : public MmioDevice {
public:
    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;

    uint32_t SspCtrl() const { return sspCtrl_.load(); }
    void PowerOn();

private:
    std::atomic<uint32_t> sspCtrl_{0};
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> others_;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_CLOCK_POWER_H
