// The audio detector's events.
#include "board/sim/audio_detector.h"

namespace sim {
namespace {

constexpr uint8_t kEventAudioDetected = 3, kEventAudioLost = 4;

}  // namespace

void AudioDetector::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("audio.detect", [this](const Json&) { return EventReply(Raise(true)); });
    controls.Add("audio.lose", [this](const Json&) { return EventReply(Raise(false)); });
}

int AudioDetector::Raise(bool detected) {
    log_->Event(LogKind::kControl, detected ? "audio.detect" : "audio.lose");
    return kernel_->RaiseEvent(detected ? kEventAudioDetected : kEventAudioLost, 0);
}

}  // namespace sim
