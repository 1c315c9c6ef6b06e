// A misc device of the emulated kernel as a device of the board: the
// program's open, write, read, ioctl and close of "/dev/<name>" go to the
// driver's file operations, and the driver's negative result -E becomes the
// errno E (a driver's -1 is EPERM). The board copies the program's bytes in
// and out; those copies are the driver's user memory for the call.
#ifndef PATERM_BOARD_SIM_KERNEL_MISC_NODE_H
#define PATERM_BOARD_SIM_KERNEL_MISC_NODE_H

#include <string>

#include "board/sim/device.h"
#include "board/sim/kernel/misc.h"

namespace sim::kernel {

class MiscDeviceNode : public Device {
public:
    MiscDeviceNode(MiscLayer* misc, std::string name) : misc_(misc), name_(std::move(name)) {}
    OpenResult Open(int flags) override;

private:
    MiscLayer* misc_;
    const std::string name_;
};

// The errno for a driver's negative result.
int ErrnoOf(long result);

}  // namespace sim::kernel

#endif  // PATERM_BOARD_SIM_KERNEL_MISC_NODE_H
