// The GPIO block's registers that the board uses: port 3's input state
// (the decoder's DREQ and the RF receiver's data bits, read live from
// those models), its outputs through the set and clear registers (the
// decoder's XCS, XDCS and XRESET), and the pin multiplexing registers,
// which are kept as written. Output changes go to a listener, called
// without the block's lock held.
#ifndef PATERM_BOARD_SIM_HW_GPIO_H
#define PATERM_BOARD_SIM_HW_GPIO_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "board/sim/hw/bus.h"

namespace sim::hw {

class Gpio : public MmioDevice {
public:
    using InputSource = std::function<uint32_t()>;
    using OutputListener = std::function<void(uint32_t outputs)>;

    // Both set once while the machine is assembled.
    void SetInputSource(InputSource source) { input_ = std::move(source); }
    void SetOutputListener(OutputListener listener) { listener_ = std::move(listener); }

    uint32_t Read(uint32_t offset) override;
    void Write(uint32_t offset, uint32_t value) override;

    uint32_t Outputs() const;
    uint32_t MuxState() const;
    uint32_t P3MuxState() const;
    uint64_t Unmodelled() const { return unmodelled_.load(); }
    // Power-on: outputs low, multiplexing at its reset state.
    void PowerOn();

private:
    void SetOutputs(uint32_t set, uint32_t clear);

    InputSource input_;
    OutputListener listener_;
    std::mutex pinsMutex_;  // taken before mutex_
    mutable std::mutex mutex_;
    uint32_t outputs_ = 0;
    uint32_t mux_ = 0;
    uint32_t p3Mux_ = 0;
    std::atomic<uint64_t> unmodelled_{0};
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_GPIO_H
