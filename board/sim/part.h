// BoardPart: one modelled device of the simulated board (or one backdoor
// into the board's hardware), in one file pair: the model and its state,
// the bus side (device paths in the DeviceRegistry, served through the
// seam), the backdoor side (control commands in the ControlRegistry) and
// its power cycle. The board is a list of parts; adding a device adds a
// part to that list and touches nothing else.
//
// Power cycle, in this order: the seam server cuts every session of the old
// program; each part's PowerOff() makes every call still in flight return
// (a held write, a wait for hardware) and drops its sessions' state; the
// session threads are joined; each part's PowerOn() brings it to its
// power-on state before the program starts.
#ifndef PATERM_BOARD_SIM_PART_H
#define PATERM_BOARD_SIM_PART_H

#include "board/sim/control.h"
#include "board/sim/device.h"

namespace sim {

class BoardPart {
public:
    virtual ~BoardPart() = default;

    // Once, while the board is assembled: device paths and control commands.
    virtual void Attach(DeviceRegistry& devices, ControlRegistry& controls) = 0;
    virtual void PowerOff() {}
    virtual void PowerOn() {}
    // Members this part adds to the "status" reply.
    virtual void AddStatus(Json& /*status*/) const {}
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_PART_H
