// The central control's once-a-second tick: the watchdog feed, the MP3
// player's play time, the server watch, the peer link's idle count and the
// channel settings check.
#include <cstdint>

#include "board/board.h"
#include "mp3/mp3_play.h"
#include "net/p2p.h"
#include "net/server_cmd.h"
#include "player/central_steps.h"
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

}  // namespace

void central::OnTick(const PlayerMsg* /*m*/) {
    FeedWatchdog();
    Mp3PlayTick();
    WatchServer();
    P2PLinkTick();
    CheckChnCfg();
}
