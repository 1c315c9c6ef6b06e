// Start-up order and the idle main loop. Every start step prints its own
// failure and start-up goes on; a subsystem whose start failed is absent.
#include "player/player_start.h"

#include <cstdio>

#include "localio/audio_gpio.h"
#include "localio/ctrl_panel.h"
#include "broadcast/brd_encode.h"
#include "mp3/mp3_play.h"
#include "net/net.h"
#include "player/player_event.h"
#include "player/player_manager.h"
#include "player/settings.h"
#include "runtime/vos.h"
#include "upgrade/upgrade.h"

namespace {
constexpr uint32_t kIdleSleepMs = 2000;
}

void PatermMain(void) {
    VosStart();
    UpgradeRecoverInterrupted();  // the settings files live in the application tree
    PlayerLoadSettings();
    PlayerEventStart();
    PlayerQueueStart();
    Mp3PlayTaskStart();
    PlayerNetStart();
    AudioGpioInit();
    CtrlPanelInit();
    BrdEncodeTaskStart();
    // The console is a serial line: flush what the tasks printed every 2 s.
    for (;;) {
        VosSleepMs(kIdleSleepMs);
        fflush(nullptr);
    }
}
