// Where the kernel's C interface finds its kernel, and the execution
// context of the calling thread: process context (a file operation, module
// load) or interrupt context (the interrupt thread, where nothing may sleep).
#ifndef PATERM_BOARD_SIM_KERNEL_CONTEXT_H
#define PATERM_BOARD_SIM_KERNEL_CONTEXT_H

namespace sim::kernel {

class Kernel;

// The kernel the C interface reaches (one per process at a time), or null.
Kernel* Current();
// The same; a module running without a kernel is a fault of the caller: abort.
Kernel& CurrentOrDie(const char* caller);
void SetCurrent(Kernel* kernel);

bool InInterrupt();

// Marks the calling thread as running interrupt handlers while it lives.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    bool previous_;
};

// Call before anything that may sleep. In interrupt context it reports a
// kernel bug (log, standard error, the kernel's bug count) and returns true,
// and the caller must not block.
bool MightSleep(const char* what);

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_CONTEXT_H
