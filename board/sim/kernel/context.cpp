// The current kernel and the interrupt context flag.
#include "board/sim/kernel/context.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

std::atomic<Kernel*> gCurrent{nullptr};
thread_local bool tlsInterrupt = false;

}  // namespace

Kernel* Current() { return gCurrent.load(std::memory_order_acquire); }

Kernel& CurrentOrDie(const char* caller) {
    Kernel* kernel = Current();
    if (!kernel) {
        std::fprintf(stderr, "emulated kernel: %s called with no kernel running\n", caller);
        std::abort();
    }
    return *kernel;
}

void SetCurrent(Kernel* kernel) {
    Kernel* expected = kernel ? nullptr : gCurrent.load();
    if (!gCurrent.compare_exchange_strong(expected, kernel)) {
        std::fprintf(stderr, "emulated kernel: a second kernel in one process\n");
        std::abort();
    }
}

bool InInterrupt() { return tlsInterrupt; }

InterruptScope::InterruptScope() : previous_(tlsInterrupt) { tlsInterrupt = true; }

InterruptScope::~InterruptScope() { tlsInterrupt = previous_; }

bool MightSleep(const char* what) {
    if (!tlsInterrupt) return false;
    if (Kernel* kernel = Current())
        kernel->ReportBug(std::string("sleeping function called from invalid context: ") + what +
                          " in an interrupt handler");
    return true;
}

}  // namespace sim::kernel
