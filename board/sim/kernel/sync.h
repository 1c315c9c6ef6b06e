// Semaphores and delays of the emulated kernel. All semaphores share one
// lock and one wait queue (they are few and rarely contended); a semaphore's
// count is touched only under that lock. While the kernel halts (power-off),
// interruptible waits end with -EINTR, as they would for a killed task.
#ifndef PATERM_BOARD_SIM_KERNEL_SYNC_H
#define PATERM_BOARD_SIM_KERNEL_SYNC_H

#include <chrono>

namespace sim::kernel {

// A task blocked this long in down() is reported once, as a hung task.
inline constexpr std::chrono::seconds kHungTaskReport{10};

void SetHalting(bool halting);

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_SYNC_H
