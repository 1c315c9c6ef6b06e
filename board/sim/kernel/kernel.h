// The emulated Linux 2.6.27 kernel of the simulated board: just enough of
// the kernel for the board's modules, compiled unchanged from their C
// sources against the headers in include/. It runs on a hw::Machine: the
// modules' register accesses reach its models through the static I/O map,
// its interrupt controller feeds the interrupt thread, its SDRAM holds the
// coherent DMA buffers.
//
// One kernel per process at a time (the modules' static data exists once):
// the C interface the modules call reaches it through Current(). Boot and
// Halt are a power cycle; the kernel object, its log and its counters live
// on across them.
#ifndef PATERM_BOARD_SIM_KERNEL_KERNEL_H
#define PATERM_BOARD_SIM_KERNEL_KERNEL_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "board/sim/hw/machine.h"
#include "board/sim/kernel/context.h"
#include "board/sim/kernel/dma.h"
#include "board/sim/kernel/irq.h"
#include "board/sim/kernel/klog.h"
#include "board/sim/kernel/misc.h"
#include "board/sim/kernel/modules.h"
#include "board/sim/kernel/netlink_event.h"

namespace sim::kernel {

class Kernel {
public:
    static constexpr const char* kNetlinkModule = "netlink_event";
    static constexpr std::chrono::milliseconds kHaltGrace{5000};

    struct Hooks {
        // "/dev/<name>" appeared or went (misc_register, misc_deregister).
        std::function<void(const std::string& name)> deviceAdded;
        std::function<void(const std::string& name)> deviceRemoved;
        // Delivery of a netlink record to the socket bound to a port id.
        NetlinkEvents::Deliver netlinkDeliver;
        // The kernel log's mirror file ("" for none).
        std::string logMirror;
    };

    Kernel(hw::Machine* machine, Hooks hooks);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // Power-on: the log starts afresh, the interrupt thread and the DMA
    // platform driver start.
    void Boot();
    // Power-off: open files are revoked, the calls in flight get up to
    // grace to return, the modules are unloaded newest first, interrupts
    // stop. False (modules left loaded) if calls were still running.
    bool Halt(std::chrono::milliseconds grace = kHaltGrace);
    bool Booted() const { return booted_; }

    // The terminal's boot order: the netlink event module, codecdrv,
    // ctrldrv. 0, or the first failure (the rest are still tried).
    int LoadBoardModules();
    int Load(std::string_view name) { return modules_.Load(name); }
    int Unload(std::string_view name) { return modules_.Unload(name, false); }

    // What would oops or warn on the terminal: logged at level 3 and on
    // standard error, and counted.
    void ReportBug(const std::string& what);
    uint64_t Bugs() const { return bugs_.load(); }

    hw::Machine& machine() { return *machine_; }
    KernelLog& log() { return log_; }
    IrqLayer& irq() { return irq_; }
    DmaLayer& dma() { return dma_; }
    MiscLayer& misc() { return misc_; }
    NetlinkEvents& netlink() { return netlink_; }
    ModuleTable& modules() { return modules_; }

private:
    hw::Machine* machine_;
    std::atomic<uint64_t> bugs_{0};
    KernelLog log_;
    IrqLayer irq_;
    DmaLayer dma_;
    MiscLayer misc_;
    NetlinkEvents netlink_;
    ModuleTable modules_;
    bool booted_ = false;
};

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_KERNEL_H
