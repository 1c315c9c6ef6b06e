// SSP0, a PrimeCell PL022 synchronous serial port in SPI master mode: the
// control, data, status, prescaler, interrupt and DMA control registers,
// 8-entry transmit and receive FIFOs, and its transmit DMA request. While
// the port is clocked (SSP_CTRL), enabled and master, every byte written to
// the transmit FIFO is clocked to the SPI device at once and the byte
// clocked back lands in the receive FIFO (a full receive FIFO overruns).
// The transfer takes no modelled time. Frames other than 8-bit Motorola SPI
// are counted as misconfigured and sent as 8-bit frames.
#ifndef PATERM_BOARD_SIM_HW_SSP_H
#define PATERM_BOARD_SIM_HW_SSP_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "board/sim/hw/bus.h"
#include "board/sim/hw/clock_power.h"
#include "board/sim/hw/spi_device.h"

namespace sim::hw {

class Ssp : public MmioDevice {
public:
    struct Stats {
        uint64_t bytesClocked = 0;
        uint64_t rxOverruns = 0;     // bytes lost to a full receive FIFO
        uint64_t txDropped = 0;      // writes to a full transmit FIFO
        uint64_t misconfigured = 0;  // bytes clocked with another frame format
    };

    Ssp(const ClockPower* clocks, SpiDevice* device) : clocks_(clocks), device_(device) {}

    // Set while the machine is assembled: told (without the port's lock)
    // whenever the transmit DMA request may have changed, and the level of
    // the port's interrupt output.
    void SetRequestListener(std::function<void()> listener) { requestChanged_ = std::move(listener); }
    void SetInterruptLine(std::function<void(bool)> line) { interrupt_ = std::move(line); }

    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;

    // DMA request line (transmit): the DMA controller may write a byte.
    bool TxDmaRequest() const;
    Stats GetStats() const;
    void PowerOn();

private:
    bool Running() const;  // mutex held
    void Shift();          // mutex held
    uint32_t RawInterrupts() const;
    uint32_t Status() const;
    void Notify(bool request, bool interrupt);

    const ClockPower* clocks_;
    SpiDevice* device_;
    std::function<void()> requestChanged_;
    std::function<void(bool)> interrupt_;
    mutable std::mutex mutex_;
    uint32_t cr0_ = 0, cr1_ = 0, cpsr_ = 0, imsc_ = 0, dmacr_ = 0;
    uint32_t latched_ = 0;  // ROR and RT until cleared through ICR
    std::deque<uint8_t> tx_, rx_;
    Stats stats_;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_SSP_H
