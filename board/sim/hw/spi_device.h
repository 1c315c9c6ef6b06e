// A device on an SPI bus: every byte the master clocks out comes back as
// the byte the device drives on MISO at the same time. The device decides
// from its own select lines whether it is addressed.
#ifndef PATERM_BOARD_SIM_HW_SPI_DEVICE_H
#define PATERM_BOARD_SIM_HW_SPI_DEVICE_H

#include <cstdint>

namespace sim::hw {

class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    virtual uint8_t Exchange(uint8_t mosi) = 0;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_SPI_DEVICE_H
