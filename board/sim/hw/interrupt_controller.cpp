// Edge detection, masking and the wait for the next pending line.
#include "board/sim/hw/interrupt_controller.h"

namespace sim::hw {

bool InterruptController::Pending(const Line& l) const {
    if (l.masked) return false;
    switch (l.trigger) {
    case Trigger::kLevelHigh: return l.level;
    case Trigger::kLevelLow: return !l.level;
    default: return l.latched;
    }
}

void InterruptController::SetLevel(int line, bool high) {
    if (!Valid(line)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Line& l = lines_[line];
    const bool rising = high && !l.level, falling = !high && l.level;
    l.level = high;
    const bool edge = (rising && (l.trigger == Trigger::kEdgeRising || l.trigger == Trigger::kEdgeBoth)) ||
                      (falling && (l.trigger == Trigger::kEdgeFalling || l.trigger == Trigger::kEdgeBoth));
    if (edge) {
        l.latched = true;
        ++l.edges;
    }
    changed_.notify_all();
}

void InterruptController::SetTrigger(int line, Trigger trigger) {
    if (!Valid(line)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].trigger = trigger;
    lines_[line].latched = false;
    changed_.notify_all();
}

void InterruptController::SetMasked(int line, bool masked) {
    if (!Valid(line)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].masked = masked;
    changed_.notify_all();
}

int InterruptController::WaitPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopped_) return -1;
        for (int i = 0; i < kLines; ++i)
            if (Pending(lines_[i])) return i;
        changed_.wait(lock);
    }
}

void InterruptController::Acknowledge(int line) {
    if (!Valid(line)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].latched = false;
}

void InterruptController::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void InterruptController::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Line& l : lines_) {
        const bool level = l.level;  // the wires keep their state
        l = Line{};
        l.level = level;
    }
    stopped_ = false;
    changed_.notify_all();
}

bool InterruptController::Level(int line) const {
    if (!Valid(line)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_[line].level;
}

uint64_t InterruptController::Edges(int line) const {
    if (!Valid(line)) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_[line].edges;
}

}  // namespace sim::hw
