// The backdoor of the VS1053b decoder chip (the model is hw/vs1053, driven
// by codecdrv through the emulated kernel): what it received and played,
// and a switch that holds its DREQ line low as a dead chip would. The switch
// survives resets and power cycles.
//
// Backdoor: "decoder.stats" and "decoder.dreq_fault".
#ifndef PATERM_BOARD_SIM_DECODER_PART_H
#define PATERM_BOARD_SIM_DECODER_PART_H

#include "board/sim/kernel_part.h"
#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class DecoderPart : public BoardPart {
public:
    DecoderPart(KernelPart* kernel, OpLog* log) : kernel_(kernel), log_(log) {}
    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;

private:
    Json Stats();

    KernelPart* kernel_;
    OpLog* log_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_DECODER_PART_H
