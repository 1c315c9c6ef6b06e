// The SD card slot. The terminal learns of the card from the device node
// "/dev/mmcblk0p1" (present while a card is in) and from the card driver's
// kernel events, type 0 (inserted) and 1 (removed). The card's files are
// DIR/mmc. The card stays as it is across power cycles.
//
// Backdoor: "card.insert" and "card.remove"; "card_present" in the status.
#ifndef PATERM_BOARD_SIM_CARD_SLOT_H
#define PATERM_BOARD_SIM_CARD_SLOT_H

#include <mutex>

#include "board/sim/kernel_part.h"
#include "board/sim/op_log.h"
#include "board/sim/part.h"
#include "board/sim/root_layout.h"

namespace sim {

class CardSlot : public BoardPart {
public:
    CardSlot(bool present, const RootLayout* root, KernelPart* kernel, OpLog* log)
        : root_(root), kernel_(kernel), log_(log), present_(present) {}

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOn() override;
    void AddStatus(Json& status) const override;

    // Changes the card and raises its event: 0 when delivered, else -errno.
    int SetPresent(bool present);

private:
    const RootLayout* root_;
    KernelPart* kernel_;
    OpLog* log_;
    mutable std::mutex mutex_;  // the card's state and its node change together
    bool present_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_CARD_SLOT_H
