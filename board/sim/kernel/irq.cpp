// request_irq and friends, and the interrupt thread.
#include "board/sim/kernel/irq.h"

#include "board/sim/kernel/context.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

constexpr int kEinval = 22, kEbusy = 16;
constexpr int kIrqNone = 0;

bool ToTrigger(unsigned type, hw::Trigger* trigger) {
    switch (type) {
    case 0x1: *trigger = hw::Trigger::kEdgeRising; return true;
    case 0x2: *trigger = hw::Trigger::kEdgeFalling; return true;
    case 0x3: *trigger = hw::Trigger::kEdgeBoth; return true;
    case 0x4: *trigger = hw::Trigger::kLevelHigh; return true;
    case 0x8: *trigger = hw::Trigger::kLevelLow; return true;
    default: return false;
    }
}

}  // namespace

void IrqLayer::Start() {
    if (thread_.joinable()) return;
    controller_->Reset();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ = {};
    thread_ = std::thread([this] { Run(); });
    threadId_ = thread_.get_id();
}

void IrqLayer::Stop() {
    if (!thread_.joinable()) return;
    controller_->Stop();
    thread_.join();
    threadId_ = std::thread::id();
}

void IrqLayer::ApplyMask(unsigned irq) {
    const Line& l = lines_[irq];
    controller_->SetMasked(static_cast<int>(irq), !(l.handler && l.depth == 0));
}

void IrqLayer::WaitIdle(std::unique_lock<std::mutex>& lock, unsigned irq) {
    if (OnInterruptThread()) return;  // a handler on its own line: it is the one running
    idle_.wait(lock, [&] { return !lines_[irq].running; });
}

int IrqLayer::Request(unsigned irq, emu_irq_handler_t handler, unsigned long, const char* name, void* dev) {
    MightSleep("request_irq");
    if (irq >= kLines || !handler) return -kEinval;
    std::lock_guard<std::mutex> lock(mutex_);
    Line& l = lines_[irq];
    if (l.handler) return -kEbusy;
    l.handler = handler;
    l.dev = dev;
    l.name = name ? name : "";
    l.depth = 0;
    l.unhandled = 0;
    ApplyMask(irq);
    return 0;
}

void IrqLayer::Free(unsigned irq, void* dev) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (irq >= kLines || !lines_[irq].handler || lines_[irq].dev != dev) {
        lock.unlock();
        kernel_->ReportBug("Trying to free already-free IRQ " + std::to_string(irq));
        return;
    }
    WaitIdle(lock, irq);
    Line& l = lines_[irq];
    l.handler = nullptr;
    l.dev = nullptr;
    l.name.clear();
    l.depth = 0;
    ApplyMask(irq);
    // The wake flag outlives the handler on the terminal: the next owner of
    // the line (or a suspend) would inherit a wake source nobody asked for.
    const bool wakeLeft = l.wakeDepth > 0;
    l.wakeDepth = 0;
    lock.unlock();
    if (wakeLeft) kernel_->ReportBug("IRQ " + std::to_string(irq) + " freed while still a wake source");
}

void IrqLayer::Disable(unsigned irq, bool wait) {
    if (irq >= kLines) return;
    std::unique_lock<std::mutex> lock(mutex_);
    ++lines_[irq].depth;
    ApplyMask(irq);
    if (wait) WaitIdle(lock, irq);
}

void IrqLayer::Enable(unsigned irq) {
    if (irq >= kLines) return;
    std::unique_lock<std::mutex> lock(mutex_);
    Line& l = lines_[irq];
    if (l.depth == 0) {
        lock.unlock();
        kernel_->ReportBug("Unbalanced enable for IRQ " + std::to_string(irq));
        return;
    }
    --l.depth;
    ApplyMask(irq);
}

int IrqLayer::SetType(unsigned irq, unsigned type) {
    hw::Trigger trigger;
    if (irq >= kLines || !ToTrigger(type, &trigger)) return -kEinval;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[irq].type = type;
    controller_->SetTrigger(static_cast<int>(irq), trigger);
    return 0;
}

int IrqLayer::SetWake(unsigned irq, unsigned on) {
    if (irq >= kLines) return -kEinval;
    std::unique_lock<std::mutex> lock(mutex_);
    Line& l = lines_[irq];
    if (on) {
        ++l.wakeDepth;
        return 0;
    }
    if (l.wakeDepth == 0) {
        lock.unlock();
        kernel_->ReportBug("Unbalanced IRQ " + std::to_string(irq) + " wake disable");
        return 0;
    }
    --l.wakeDepth;
    return 0;
}

IrqLayer::LineStatus IrqLayer::Status(unsigned irq) const {
    if (irq >= kLines) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const Line& l = lines_[irq];
    return {l.handler != nullptr, l.name, l.handled, l.depth, l.wakeDepth > 0, l.type};
}

void IrqLayer::Run() {
    InterruptScope interrupts;  // everything this thread runs is interrupt context
    for (;;) {
        const int line = controller_->WaitPending();
        if (line < 0) return;
        const unsigned irq = static_cast<unsigned>(line);
        emu_irq_handler_t handler;
        void* dev;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Line& l = lines_[irq];
            if (!l.handler || l.depth > 0) {  // spurious: keep it off
                controller_->SetMasked(line, true);
                continue;
            }
            l.running = true;
            handler = l.handler;
            dev = l.dev;
        }
        controller_->Acknowledge(line);
        const int result = handler(line, dev);
        bool nobodyCared = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Line& l = lines_[irq];
            l.running = false;
            ++l.handled;
            l.unhandled = result == kIrqNone ? l.unhandled + 1 : 0;
            if (l.unhandled >= kNobodyCared) {
                nobodyCared = true;
                l.unhandled = 0;
            }
            idle_.notify_all();
        }
        if (!nobodyCared) continue;
        // As the kernel does: the report is in the log before the line is seen switched off.
        kernel_->ReportBug("irq " + std::to_string(line) + ": nobody cared, disabling it");
        std::lock_guard<std::mutex> lock(mutex_);
        ++lines_[irq].depth;
        ApplyMask(irq);
    }
}

}  // namespace sim::kernel

using sim::kernel::CurrentOrDie;

extern "C" int request_irq(unsigned int irq, emu_irq_handler_t handler, unsigned long flags, const char* name,
                           void* dev_id) {
    return CurrentOrDie("request_irq").irq().Request(irq, handler, flags, name, dev_id);
}

extern "C" void free_irq(unsigned int irq, void* dev_id) { CurrentOrDie("free_irq").irq().Free(irq, dev_id); }

extern "C" void disable_irq(unsigned int irq) { CurrentOrDie("disable_irq").irq().Disable(irq, true); }

extern "C" void disable_irq_nosync(unsigned int irq) { CurrentOrDie("disable_irq_nosync").irq().Disable(irq, false); }

extern "C" void enable_irq(unsigned int irq) { CurrentOrDie("enable_irq").irq().Enable(irq); }

extern "C" int set_irq_type(unsigned int irq, unsigned int type) {
    return CurrentOrDie("set_irq_type").irq().SetType(irq, type);
}

extern "C" int set_irq_wake(unsigned int irq, unsigned int on) {
    return CurrentOrDie("set_irq_wake").irq().SetWake(irq, on);
}

extern "C" int emu_in_interrupt(void) { return sim::kernel::InInterrupt() ? 1 : 0; }
