// GPIO register decoding.
#include "board/sim/hw/gpio.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {

uint32_t Gpio::Read(uint32_t offset) {
    switch (offset) {
    case gpio::kP3InpState: return input_ ? input_() : 0;
    case gpio::kP3OutpState: return Outputs();
    case gpio::kPMuxState: return MuxState();
    case gpio::kP3MuxState: return P3MuxState();
    default: ++unmodelled_; return 0;
    }
}

void Gpio::Write(uint32_t offset, uint32_t value) {
    switch (offset) {
    case gpio::kP3OutpSet: return SetOutputs(value, 0);
    case gpio::kP3OutpClr: return SetOutputs(0, value);
    default: break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    switch (offset) {
    case gpio::kPMuxSet: mux_ |= value; break;
    case gpio::kPMuxClr: mux_ &= ~value; break;
    case gpio::kP3MuxSet: p3Mux_ |= value; break;
    case gpio::kP3MuxClr: p3Mux_ &= ~value; break;
    default: ++unmodelled_; break;
    }
}

void Gpio::SetOutputs(uint32_t set, uint32_t clear) {
    // Held across the listener call so that the pins change in register order.
    std::lock_guard<std::mutex> pins(pinsMutex_);
    uint32_t now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outputs_ = (outputs_ | set) & ~clear;
        now = outputs_;
    }
    if (listener_) listener_(now);
}

uint32_t Gpio::Outputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

uint32_t Gpio::MuxState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mux_;
}

uint32_t Gpio::P3MuxState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return p3Mux_;
}

void Gpio::PowerOn() {
    std::lock_guard<std::mutex> pins(pinsMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outputs_ = mux_ = p3Mux_ = 0;
    }
    if (listener_) listener_(0);
}

}  // namespace sim::hw
