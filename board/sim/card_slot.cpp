// The card's presence, its device node and its events.
#include "board/sim/card_slot.h"

#include <fcntl.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr uint8_t kEventCardInserted = 0, kEventCardRemoved = 1;

void SetNode(const std::string& node, bool present) {
    if (present) UniqueFd(::open(node.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    else ::unlink(node.c_str());
}

}  // namespace

void CardSlot::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("card.insert", [this](const Json&) { return EventReply(SetPresent(true)); });
    controls.Add("card.remove", [this](const Json&) { return EventReply(SetPresent(false)); });
}

void CardSlot::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    SetNode(root_->Host(kCardNode), present_);
}

void CardSlot::AddStatus(Json& status) const {
    std::lock_guard<std::mutex> lock(mutex_);
    status["card_present"] = present_;
}

int CardSlot::SetPresent(bool present) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = present;
        SetNode(root_->Host(kCardNode), present);
    }
    log_->Event(LogKind::kControl, present ? "card.insert" : "card.remove");
    return kernel_->RaiseEvent(present ? kEventCardInserted : kEventCardRemoved, 0);
}

}  // namespace sim
