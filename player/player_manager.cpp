// The player manager task: watchdog set-up, the download tool, the tick
// timer, the SD card as it is at start, the restored channel settings, then
// the message loop that hands every message to the central control and
// frees it.
#include "player/player_manager.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/board.h"
#include "mp3/mp3_library.h"
#include "player/central_ctrl.h"
#include "player/central_steps.h"
#include "player/player_msg.h"
#include "player/settings.h"
#include "runtime/vos.h"

int gPlayerWatchdogFd = -1;

namespace {

constexpr uint32_t kPlayerQueueDepth = 200;
constexpr uint32_t kPlayerQueueFlags = 8;
constexpr uint32_t kPlayerTaskStack = 4096;
constexpr uint32_t kTickPeriodMs = 1000;
constexpr int kWatchdogTimeoutS = 30;

uint32_t gPlayerTickTimer;

// False when the watchdog is wanted but cannot be opened.
bool OpenWatchdog() {
    if (!GetWatchdogFlag()) return true;
    gPlayerWatchdogFd = board::Open("/dev/watchdog", O_RDWR);
    if (gPlayerWatchdogFd < 0) {
        printf("FATAL Error! Can not open watchdog\n\r");
        return false;
    }
    int timeout = kWatchdogTimeoutS;
    board::Ioctl(gPlayerWatchdogFd, WDIOC_SETTIMEOUT, &timeout);
    return true;
}

[[noreturn]] void PlayerMessageLoop() {
    const auto queueId = static_cast<uint32_t>(gPlayerQueueId.load());
    for (;;) {
        void* received = nullptr;
        if (VosQueueReceive(queueId, 0, 0, &received) != eOD_RET_OK) continue;
        auto* message = static_cast<PlayerMsg*>(received);
        PlayerCentralCtrl(message);
        free(message);
    }
}

}  // namespace

int PlayerQueueStart(void) {
    uint32_t queueId = 0;
    if (VosQueueCreate(kPlayerQueueDepth, kPlayerQueueFlags, &queueId) != eOD_RET_OK) {
        printf("Create Player Message Queue fail! \r");
        return -1;
    }
    gPlayerQueueId.store(static_cast<int32_t>(queueId));
    OdTaskId taskId = 0;
    if (VosTaskCreate(PlayerManagerTask, nullptr, eOD_PRIO_NORMAL, kPlayerTaskStack, &taskId) != eOD_RET_OK) {
        printf("Start Player Manager Task fail! \r");
        return -1;
    }
    return 0;
}

void* PlayerManagerTask(void* /*unused*/) {
    // A terminal that wants a watchdog it cannot open handles no messages;
    // the other tasks keep running.
    if (!OpenWatchdog()) return nullptr;
    board::System("/bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/");
    VosTimerStart(kTickPeriodMs, &gPlayerTickTimer, PlayerTickPost, nullptr, 0, 1);
    if (board::Access(kMp3CardNode, F_OK) == 0) {
        Mp3CardReady();
    } else {
        Mp3CardAbsent();
    }
    PlayerRestoreChnCfg();
    PlayerMessageLoop();
}
