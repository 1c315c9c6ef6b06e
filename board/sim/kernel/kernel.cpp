// Assembling the emulated kernel; boot, halt and the board's module order.
#include "board/sim/kernel/kernel.h"

#include <cstdio>

#include "board/sim/kernel/sync.h"

namespace sim::kernel {

Kernel::Kernel(hw::Machine* machine, Hooks hooks)
    : machine_(machine),
      log_(hooks.logMirror),
      irq_(this, &machine->interrupts()),
      dma_(this, machine),
      misc_(this),
      netlink_(std::move(hooks.netlinkDeliver)) {
    misc_.SetListeners(std::move(hooks.deviceAdded), std::move(hooks.deviceRemoved));
    SetCurrent(this);
}

Kernel::~Kernel() {
    Halt();
    SetCurrent(nullptr);
}

void Kernel::Boot() {
    if (booted_) return;
    SetHalting(false);
    log_.PowerOn();
    log_.Write("<5>Linux version " EMU_VERMAGIC " (emulated on the simulated board)\n");
    irq_.Start();
    dma_.Boot();
    booted_ = true;
}

bool Kernel::Halt(std::chrono::milliseconds grace) {
    if (!booted_) return true;
    booted_ = false;
    SetHalting(true);
    if (!misc_.RevokeAll(grace)) {
        ReportBug("file operations still running at power-off: the modules stay loaded");
        return false;
    }
    modules_.UnloadAll();
    dma_.Halt();
    irq_.Stop();
    return true;
}

int Kernel::LoadBoardModules() {
    int first = 0;
    for (const char* name : {kNetlinkModule, "codecdrv", "ctrldrv"}) {
        if (modules_.IsLoaded(name)) continue;
        const int result = modules_.Load(name);
        if (result != 0 && first == 0) first = result;
    }
    return first;
}

void Kernel::ReportBug(const std::string& what) {
    ++bugs_;
    log_.Write("<3>BUG: " + what + "\n");
    std::fprintf(stderr, "emulated kernel: BUG: %s\n", what.c_str());
}

}  // namespace sim::kernel
