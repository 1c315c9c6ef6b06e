// SSP0, a PrimeCell PL022 synchronous serial port in SPI master mode: the
// control, data, status, prescaler, interrupt and DMA control registers,
// 8-entry transmit and receive FIFOs, and its transmit DMA request.
//
// Bytes take time. While the port is clocked (SSP_CTRL), enabled and
// master, the byte at the head of the transmit FIFO moves into the shift
// register and is clocked out at the bit rate the registers give:
// SSPCLK / (CPSDVSR x (SCR + 1)), SSPCLK being the port's input clock
// (HCLK, 104 MHz on the board: with the driver's settings 2 MHz, 4 us a
// byte). A byte reaches the SPI device when its last bit has been clocked,
// with the device's select lines as they are at that moment, and the byte
// clocked back lands in the receive FIFO (a full receive FIFO overruns).
// So the FIFO holds 8 bytes waiting plus the one shifting; BSY is set while
// a byte shifts or one waits; the DMA request is active while the FIFO has
// room.
//
// Time is the models' clock. The port catches up lazily, whenever it is
// accessed or a select line changes (AtInstant), and a thread of its own
// catches up when the byte shifting is due, so that a DMA transfer waiting
// for room goes on while the CPU sleeps; woken late, that thread replays
// each byte's end at its own moment, so the DMA keeps the FIFO fed at the
// bit rate (never before a moment somebody has already looked at). Frames other than 8-bit Motorola
// SPI are counted as misconfigured and sent as 8-bit frames.
#ifndef PATERM_BOARD_SIM_HW_SSP_H
#define PATERM_BOARD_SIM_HW_SSP_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "board/sim/hw/bus.h"
#include "board/sim/hw/clock_power.h"
#include "board/sim/hw/model_clock.h"
#include "board/sim/hw/spi_device.h"

namespace sim::hw {

class Ssp : public MmioDevice {
public:
    using time_point = ModelClock::time_point;
    static constexpr uint32_t kBoardInputHz = 104000000;  // HCLK

    struct Stats {
        uint64_t bytesClocked = 0;
        uint64_t rxOverruns = 0;     // bytes lost to a full receive FIFO
        uint64_t txDropped = 0;      // writes to a full transmit FIFO
        uint64_t misconfigured = 0;  // bytes clocked with another frame format
    };

    Ssp(const ClockPower* clocks, SpiDevice* device, const ModelClock* clock);
    ~Ssp() override;
    Ssp(const Ssp&) = delete;
    Ssp& operator=(const Ssp&) = delete;

    // Set while the machine is assembled: told (without the port's lock)
    // whenever the transmit DMA request may have changed, and the level of
    // the port's interrupt output.
    void SetRequestListener(std::function<void()> listener) { requestChanged_ = std::move(listener); }
    void SetInterruptLine(std::function<void(bool)> line) { interrupt_ = std::move(line); }

    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;

    // DMA request line (transmit): the DMA controller may write a byte.
    bool TxDmaRequest();
    // Every byte due by now reaches the device first; then fn runs, before
    // any later byte can (a select line changing, DREQ being read). Room
    // that came free reaches the DMA from the port's thread (or, on a
    // stepped clock, at the next access), never from here.
    void AtInstant(const std::function<void()>& fn);
    // Brings the port up to now and wakes the DMA if room came free.
    void Settle();
    // The port's input clock (tests slow the bus down with it).
    void SetInputClock(uint32_t hz);
    // The time one frame takes with the registers as they are.
    std::chrono::nanoseconds FrameTime() const;
    Stats GetStats() const;
    void PowerOn();
    // Ends the port's thread (before the models it calls go away).
    void Stop();

private:
    struct Waiting {
        uint8_t byte;
        time_point entered;
    };

    time_point Now() const;                   // mutex held
    bool Running() const;                     // mutex held
    std::chrono::nanoseconds Frame() const;   // mutex held
    bool AdvanceTo(time_point now);           // mutex held; true when a FIFO entry came free
    bool CatchUp(time_point now);             // mutex held; AdvanceTo, or room not yet told
    void ClockOut(uint8_t out, time_point at);  // mutex held
    uint32_t RawInterrupts() const;
    uint32_t Status() const;
    void Notify(bool request, bool interrupt);
    void Shifter();
    void Replay(time_point until);

    const ClockPower* clocks_;
    SpiDevice* device_;
    const ModelClock* clock_;
    std::function<void()> requestChanged_;
    std::function<void(bool)> interrupt_;
    mutable std::mutex mutex_;
    uint32_t cr0_ = 0, cr1_ = 0, cpsr_ = 0, imsc_ = 0, dmacr_ = 0;
    uint32_t latched_ = 0;  // ROR and RT until cleared through ICR
    uint32_t inputHz_ = kBoardInputHz;
    std::deque<Waiting> tx_;
    std::deque<uint8_t> rx_;
    bool shifting_ = false;
    uint8_t shiftByte_ = 0;
    time_point shiftEnd_{};  // when the byte shifting has been clocked out
    time_point freeFrom_{};  // the shift register takes no byte before this
    time_point horizon_{};   // the latest moment the port has been brought to
    bool requestPending_ = false;  // room came free under AtInstant, not yet told to the DMA
    Stats stats_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread shifter_;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_SSP_H
