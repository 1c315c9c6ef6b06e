// Key presses of the RF remote.
#include "board/sim/rf_remote.h"

#include <string>

namespace sim {

void RfRemote::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("rf.key", [this](const Json& request) {
        const auto code = IntegerArg(request, "code", 0, 15, std::nullopt);
        if (!code || !kernel_->machine().rf().Press(static_cast<int>(*code)))
            return ControlError("\"code\" must be 0..15");
        log_->Event(LogKind::kControl, "rf.key " + std::to_string(*code));
        return ControlOk();
    });
}

}  // namespace sim
