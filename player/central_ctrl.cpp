// The central control's dispatcher and its once-a-second tick.
//
// Not finished: of the tick it carries out the watchdog feed, the server
// watch, the peer link's idle count and the channel settings check, and of
// the other types it only rejects those outside 1 to 39. The broadcast cycle, auto mode, channels, MP3, panel,
// server and web handlers join this dispatcher as their subsystems land.
#include "player/central_ctrl.h"

#include <cstdio>

#include "board/board.h"
#include "net/p2p.h"
#include "net/server_cmd.h"
#include "player/player_manager.h"
#include "player/player_state.h"
#include "player/settings.h"

namespace {

// Set when writing the channel settings failed, so the next tick tries again
// even though the record in memory already matches the state. The retries
// stay silent until a write succeeds: one message for a failure that lasts.
bool gChnCfgSaveFailed;

// Ticks until the next server watch: every fifth tick, the first on the fifth.
constexpr int kServerWatchPeriod = 5;
int gServerWatchCountdown = kServerWatchPeriod;

void FeedWatchdog() {
    if (gPlayerWatchdogFd < 0) return;
    const char feed = 0;
    board::Write(gPlayerWatchdogFd, &feed, 1);
}

bool ChnCfgMatchesState(const player_chn_cfg_t& cfg) {
    return cfg.chn3On == static_cast<uint32_t>(GetChn3On()) && cfg.chn1On == static_cast<uint32_t>(GetChn1On()) &&
           cfg.chn2On == static_cast<uint32_t>(GetChn2On()) && cfg.brdGrpMask == GetBrdGrpMask() &&
           cfg.autoMode == static_cast<uint32_t>(GetAutoMode());
}

// Keeps the channel settings file within a second of the running state;
// levels are not stored, so they never cause a write.
void CheckChnCfg() {
    player_chn_cfg_t& cfg = *GetChnCfg();
    if (ChnCfgMatchesState(cfg) && !gChnCfgSaveFailed) return;
    cfg.chn3On = static_cast<uint8_t>(GetChn3On());
    cfg.chn1On = static_cast<uint8_t>(GetChn1On());
    cfg.chn2On = static_cast<uint8_t>(GetChn2On());
    cfg.brdGrpMask = static_cast<uint16_t>(GetBrdGrpMask());
    cfg.autoMode = static_cast<uint8_t>(GetAutoMode());
    gChnCfgSaveFailed = (gChnCfgSaveFailed ? PlayerSaveChnCfgQuietly() : PlayerSaveChnCfg()) != 0;
}

void WatchServer() {
    if (--gServerWatchCountdown > 0) return;
    gServerWatchCountdown = kServerWatchPeriod;
    ServerWatch();
}

void PlayerTick() {
    FeedWatchdog();
    WatchServer();
    P2PLinkTick();
    CheckChnCfg();
}

}  // namespace

void PlayerCentralCtrl(const PlayerMsg* message) {
    const uint16_t type = message->msgType;
    if (type < kPlayerMsgTypeFirst || type > kPlayerMsgTypeLast) {
        printf("Central ctrl received invalid msgType:%d \r\n", type);
        return;
    }
    if (type == eSVC_MSG_TYPE_TIMER_1S) PlayerTick();
}
