// The board's hardware and the emulated kernel that runs on it, as one part:
// each power-on powers the register models up, boots the kernel and loads
// the terminal's modules (the netlink event module, codecdrv, ctrldrv) before
// the program starts, so /dev/vs10xx and /dev/nOrv_ctrl are served by the
// modules' own file operations while they are loaded; each power-off halts
// the kernel, which revokes the calls in flight.
//
// Backdoor: "kernel.log" and "kernel.modules". The parts behind other
// hardware (decoder, RF remote, card slot, audio detector) reach the
// machine and the kernel's event path through this part.
#ifndef PATERM_BOARD_SIM_KERNEL_PART_H
#define PATERM_BOARD_SIM_KERNEL_PART_H

#include <memory>
#include <string>

#include "board/sim/hw/machine.h"
#include "board/sim/kernel/kernel.h"
#include "board/sim/netlink.h"
#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class KernelPart : public BoardPart {
public:
    KernelPart(const std::string& decoderWav, const std::string& kernelLogMirror, NetlinkModel* netlink,
               OpLog* log);
    ~KernelPart() override;

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOff() override;
    void PowerOn() override;

    hw::Machine& machine() { return *machine_; }
    // An event of the kernel code outside the system (card slot, audio
    // detector) through the netlink event module: 0 when delivered, else -errno.
    int RaiseEvent(uint8_t type, uint8_t value);

private:
    void LogDecoderBusFaults();
    OpLog* log_;
    DeviceRegistry* devices_ = nullptr;
    std::unique_ptr<hw::Machine> machine_;
    std::unique_ptr<kernel::Kernel> kernel_;  // after the machine it runs on: destroyed first
};

// The reply of a command that raised a kernel event: delivered, or why not.
Json EventReply(int result);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_KERNEL_PART_H
