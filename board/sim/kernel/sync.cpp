// sema_init, down, down_interruptible, down_trylock, up, msleep, __udelay.
#include "board/sim/kernel/sync.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "board/sim/kernel/context.h"
#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

constexpr int kEintr = 4;

std::mutex gSemMutex;
std::condition_variable gSemChanged;
bool gHalting = false;  // guarded by gSemMutex

// Waits for a unit; false when interrupted by a halt (interruptible only).
bool Wait(struct semaphore* sem, bool interruptible) {
    std::unique_lock<std::mutex> lock(gSemMutex);
    const auto start = std::chrono::steady_clock::now();
    bool reported = false;
    while (sem->count <= 0) {
        if (interruptible && gHalting) return false;
        gSemChanged.wait_for(lock, std::chrono::seconds(1));
        if (!reported && std::chrono::steady_clock::now() - start > kHungTaskReport) {
            reported = true;
            lock.unlock();
            CurrentOrDie("down").ReportBug("task blocked in down() for more than " +
                                           std::to_string(kHungTaskReport.count()) + " seconds");
            lock.lock();
        }
    }
    --sem->count;
    return true;
}

}  // namespace

void SetHalting(bool halting) {
    std::lock_guard<std::mutex> lock(gSemMutex);
    gHalting = halting;
    gSemChanged.notify_all();
}

}  // namespace sim::kernel

using sim::kernel::MightSleep;

extern "C" void sema_init(struct semaphore* sem, int val) {
    std::lock_guard<std::mutex> lock(sim::kernel::gSemMutex);
    sem->count = val;
}

extern "C" int down_trylock(struct semaphore* sem) {
    std::lock_guard<std::mutex> lock(sim::kernel::gSemMutex);
    if (sem->count <= 0) return 1;
    --sem->count;
    return 0;
}

extern "C" void down(struct semaphore* sem) {
    if (MightSleep("down")) {
        down_trylock(sem);  // an interrupt handler must not block the interrupt thread
        return;
    }
    sim::kernel::Wait(sem, false);
}

extern "C" int down_interruptible(struct semaphore* sem) {
    if (MightSleep("down_interruptible")) return down_trylock(sem) ? -sim::kernel::kEintr : 0;
    return sim::kernel::Wait(sem, true) ? 0 : -sim::kernel::kEintr;
}

extern "C" void up(struct semaphore* sem) {
    std::lock_guard<std::mutex> lock(sim::kernel::gSemMutex);
    ++sem->count;
    sim::kernel::gSemChanged.notify_all();
}

extern "C" void msleep(unsigned int msecs) {
    MightSleep("msleep");
    std::this_thread::sleep_for(std::chrono::milliseconds(msecs));
}

extern "C" void __udelay(unsigned long usecs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(usecs);
    while (std::chrono::steady_clock::now() < until) {
    }
}
