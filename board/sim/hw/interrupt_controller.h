// The interrupt controller: one input line per interrupt number, driven by
// the hardware models, each with a trigger (level or edge, as the kernel
// sets it) and a mask. An edge is latched until the kernel acknowledges it;
// a level line is pending while it is active. The kernel's interrupt
// thread waits here for the next pending, unmasked line.
#ifndef PATERM_BOARD_SIM_HW_INTERRUPT_CONTROLLER_H
#define PATERM_BOARD_SIM_HW_INTERRUPT_CONTROLLER_H

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "board/sim/hw/registers.h"

namespace sim::hw {

enum class Trigger : uint8_t { kLevelHigh, kLevelLow, kEdgeRising, kEdgeFalling, kEdgeBoth };

class InterruptController {
public:
    static constexpr int kLines = irq::kLines;

    // From the hardware: the line's electrical level.
    void SetLevel(int line, bool high);
    // From the kernel. Changing the trigger drops a latched edge.
    void SetTrigger(int line, Trigger trigger);
    void SetMasked(int line, bool masked);

    // Blocks until a line is pending and unmasked (returns it, lowest
    // first) or Stop is called (returns -1).
    int WaitPending();
    // Clears a latched edge before its handler runs, so that an edge
    // during the handler is taken again afterwards.
    void Acknowledge(int line);
    void Stop();
    // All lines masked, level high triggers, nothing latched; a stopped
    // controller serves waiters again.
    void Reset();

    bool Level(int line) const;
    uint64_t Edges(int line) const;  // edges latched since the last reset

private:
    struct Line {
        Trigger trigger = Trigger::kLevelHigh;
        bool masked = true;
        bool level = false;
        bool latched = false;
        uint64_t edges = 0;
    };
    static bool Valid(int line) { return line >= 0 && line < kLines; }
    bool Pending(const Line& l) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::array<Line, kLines> lines_{};
    bool stopped_ = false;
};

}  // namespace sim::hw

#endif  // PATERM_BOARD_SIM_HW_INTERRUPT_CONTROLLER_H
