// The audio-present input: its debounce and the task that polls it. The
// task is the only user of the input line and owns the debounce state.
#include <cstdio>

#include "localio/audio_gpio.h"
#include "player/player_msg.h"
#include "player/settings.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kSettleMs = 5000;  // the inputs settle after power-on
constexpr uint32_t kPollMs = 10;
constexpr int kShortestLostDelayS = 4;

}  // namespace

int GpioLostLimit(int delayTimeS) {
    return delayTimeS <= kShortestLostDelayS ? kGpioMinLostPolls : kGpioPollsPerSecond * delayTimeS;
}

GpioInputEvent GpioDebounceStep(GpioDebounce* state, int input, int lostLimit) {
    if (input != 0) {
        if (state->detected == 1) return GpioInputEvent::kNone;
        if (++state->detectCount <= kGpioDetectPolls) return GpioInputEvent::kNone;
        state->detectCount = 0;
        state->detected = 1;
        state->lostCount = 0;
        return GpioInputEvent::kDetected;
    }
    if (state->detected == 0) return GpioInputEvent::kNone;
    if (++state->lostCount <= lostLimit) return GpioInputEvent::kNone;
    state->detected = 0;
    state->lostCount = 0;
    state->detectCount = 0;
    return GpioInputEvent::kLost;
}

void* CntGpioInputReadTask(void* /*unused*/) {
    GpioDebounce state;
    VosSleepMs(kSettleMs);
    for (;;) {
        VosSleepMs(kPollMs);
        int value = 0;  // a failed read counts as no audio
        GetCntGpioIn(kGpioAudioPresentPin, &value);
        switch (GpioDebounceStep(&state, value, GpioLostLimit(GetDelayTime()))) {
        case GpioInputEvent::kDetected:
            printf("rcv eSVC_MSG_TYPE_AUTO_DECTED ");
            PlayerMsgPostKnl(eSVC_MSG_TYPE_AUTO_DECTED, nullptr, 0);
            break;
        case GpioInputEvent::kLost:
            printf("rcv eSVC_MSG_TYPE_AUTO_LOST ");
            PlayerMsgPostKnl(eSVC_MSG_TYPE_AUTO_LOST, nullptr, 0);
            break;
        case GpioInputEvent::kNone:
            break;
        }
    }
    return nullptr;
}
