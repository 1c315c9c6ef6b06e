// Key codes onto the data bits, and the valid-transmission pulse.
#include "board/sim/hw/rf_receiver.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

uint32_t RfReceiver::BitsOf(int code) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        if (code & (1 << i)) bits |= gpio::kRfBits[i];
    return bits;
}

bool RfReceiver::Press(int code) {
    if (code < 0 || code > 15) return false;
    std::lock_guard<std::mutex> lock(pressMutex_);
    bits_ = BitsOf(code);
    ++presses_;
    interrupts_->SetLevel(irq::kRfDetect, true);
    interrupts_->SetLevel(irq::kRfDetect, false);
    return true;
}

void RfReceiver::PowerOn() {
    std::lock_guard<std::mutex> lock(pressMutex_);
    bits_ = 0;
    presses_ = 0;
    interrupts_->SetLevel(irq::kRfDetect, false);
}

}  // namespace sim::hw
