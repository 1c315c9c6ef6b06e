// The audio detector on the terminal's input: the kernel code outside the
// system sends an event of type 3 when audio appears and 4 when it is lost.
//
// Backdoor: "audio.detect" and "audio.lose".
#ifndef PATERM_BOARD_SIM_AUDIO_DETECTOR_H
#define PATERM_BOARD_SIM_AUDIO_DETECTOR_H

#include "board/sim/kernel_part.h"
#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class AudioDetector : public BoardPart {
public:
    AudioDetector(KernelPart* kernel, OpLog* log) : kernel_(kernel), log_(log) {}
    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;

private:
    int Raise(bool detected);

    KernelPart* kernel_;
    OpLog* log_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_AUDIO_DETECTOR_H
