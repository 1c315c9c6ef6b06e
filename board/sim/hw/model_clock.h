// The time the hardware models share: the SSP's shift register, the decoder
// chip's buffer, boot and command times all read it, so that a byte's
// arrival at the chip and the chip's own state agree on one time line. It
// is the host's steady clock, or, for tests that must be exact, a time that
// only moves when the test steps it.
#ifndef PATERM_BOARD_SIM_HW_MODEL_CLOCK_H
#define PATERM_BOARD_SIM_HW_MODEL_CLOCK_H

#include <atomic>
#include <chrono>

namespace sim::hw {

class ModelClock {
public:
    using Clock = std::chrono::steady_clock;
    using time_point = Clock::time_point;

    time_point Now() const {
        if (!manual_.load(std::memory_order_acquire)) return Clock::now();
        return time_point(Clock::duration(stepped_.load(std::memory_order_acquire)));
    }
    bool Manual() const { return manual_.load(std::memory_order_acquire); }

    // From now on time stands still until Step moves it (tests; set before
    // the models are used).
    void SetManual() {
        stepped_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        manual_.store(true, std::memory_order_release);
    }
    void Step(Clock::duration d) { stepped_.fetch_add(d.count(), std::memory_order_acq_rel); }

private:
    std::atomic<bool> manual_{false};
    std::atomic<Clock::rep> stepped_{0};
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_MODEL_CLOCK_H
