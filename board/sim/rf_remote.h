// The RF remote control: a key press latches its code (0 to 15) on the
// receiver's four GPIO data bits and pulses interrupt line 90, where
// ctrldrv's handler picks it up (the receiver model is hw/rf_receiver).
//
// Backdoor: "rf.key".
#ifndef PATERM_BOARD_SIM_RF_REMOTE_H
#define PATERM_BOARD_SIM_RF_REMOTE_H

#include "board/sim/kernel_part.h"
#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class RfRemote : public BoardPart {
public:
    RfRemote(KernelPart* kernel, OpLog* log) : kernel_(kernel), log_(log) {}
    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;

private:
    KernelPart* kernel_;
    OpLog* log_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_RF_REMOTE_H
