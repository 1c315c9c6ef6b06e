// The RF remote-control receiver: a latching decoder with four data
// outputs on GPIO inputs and a "valid transmission" output on interrupt
// line 90. A key press latches its 4-bit code on the data bits (until the
// next press) and pulses the valid line, one rising edge per press.
#ifndef PATERM_BOARD_SIM_HW_RF_RECEIVER_H
#define PATERM_BOARD_SIM_HW_RF_RECEIVER_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "board/sim/hw/interrupt_controller.h"

namespace sim::hw {

class RfReceiver {
public:
    explicit RfReceiver(InterruptController* interrupts) : interrupts_(interrupts) {}

    // code 0..15; false for anything else.
    bool Press(int code);
    // The data bits as they appear in port 3's input state.
    uint32_t InputBits() const { return bits_.load(); }
    uint64_t Presses() const { return presses_.load(); }
    void PowerOn();

    // The GPIO input bits of a key code.
    static uint32_t BitsOf(int code);

private:
    InterruptController* interrupts_;
    std::mutex pressMutex_;  // one press at a time: bits, then the edge
    std::atomic<uint32_t> bits_{0};
    std::atomic<uint64_t> presses_{0};
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_RF_RECEIVER_H
