// Interrupt handling: one handler per line (request_irq, free_irq), the
// disable depth, the trigger type and the wake flag, and the interrupt
// thread, which takes pending lines from the interrupt controller and runs
// their handlers one at a time in interrupt context. disable_irq and
// free_irq wait for a handler running on another thread, as synchronize_irq
// does. A line whose handler keeps answering IRQ_NONE is switched off
// ("nobody cared").
#ifndef PATERM_BOARD_SIM_KERNEL_IRQ_H
#define PATERM_BOARD_SIM_KERNEL_IRQ_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "board/sim/hw/interrupt_controller.h"
#include "board/sim/kernel/include/emu/kabi.h"

namespace sim::kernel {

class Kernel;

class IrqLayer {
public:
    static constexpr int kLines = hw::InterruptController::kLines;
    static constexpr uint32_t kNobodyCared = 1000;

    struct LineStatus {
        bool requested = false;
        std::string name;
        uint64_t handled = 0;  // handler runs
        int depth = 0;
        bool wake = false;  // armed as a wake source
        unsigned type = 0;
    };

    IrqLayer(Kernel* kernel, hw::InterruptController* controller) : kernel_(kernel), controller_(controller) {}
    ~IrqLayer() { Stop(); }

    void Start();
    void Stop();
    bool Running() const { return thread_.joinable(); }

    int Request(unsigned irq, emu_irq_handler_t handler, unsigned long flags, const char* name, void* dev);
    void Free(unsigned irq, void* dev);
    void Disable(unsigned irq, bool wait);
    void Enable(unsigned irq);
    int SetType(unsigned irq, unsigned type);
    int SetWake(unsigned irq, unsigned on);
    LineStatus Status(unsigned irq) const;

private:
    struct Line {
        emu_irq_handler_t handler = nullptr;
        void* dev = nullptr;
        std::string name;
        int depth = 0;
        int wakeDepth = 0;  // set_irq_wake(on) calls not yet undone
        unsigned type = 0;
        bool running = false;
        uint64_t handled = 0;
        uint32_t unhandled = 0;  // IRQ_NONE in a row
    };

    void Run();
    void ApplyMask(unsigned irq);                             // mutex held
    void WaitIdle(std::unique_lock<std::mutex>& lock, unsigned irq);  // mutex held
    bool OnInterruptThread() const { return std::this_thread::get_id() == threadId_.load(); }

    Kernel* kernel_;
    hw::InterruptController* controller_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::array<Line, kLines> lines_{};
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_IRQ_H
