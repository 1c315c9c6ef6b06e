// A device on an SPI bus: every byte the master clocks out comes back as
// the byte the device drives on MISO at the same time. The device decides
// from its own select lines whether it is addressed; it is told when the
// byte's last bit was clocked, which is when it takes the byte.
#ifndef PATERM_BOARD_SIM_HW_SPI_DEVICE_H
#define PATERM_BOARD_SIM_HW_SPI_DEVICE_H

#include <cstdint>

#include "board/sim/hw/model_clock.h"

namespace sim::hw {

class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    virtual uint8_t Exchange(uint8_t mosi, ModelClock::time_point clockedAt) = 0;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_SPI_DEVICE_H
