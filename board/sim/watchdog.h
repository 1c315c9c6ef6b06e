// The board's watchdog "/dev/watchdog", modelled on a Linux watchdog driver:
// opening arms it (default 30 s) and restarts its countdown; any write or
// WDIOC_KEEPALIVE feeds it; WDIOC_SETTIMEOUT sets the timeout and returns it;
// a write containing the magic 'V' before close disarms it, any other close
// leaves it armed. The board resets the program once it has gone a timeout
// without a feed (see Expired).
//
// For tests the board can hold the next write without answering
// ("player.stall"), as if the one task that feeds the watchdog were stuck
// in its tick handler; "player.resume" lets the write finish. A held write
// is not a feed.
//
// Every power-on starts a new epoch: sessions opened before it are stale,
// and whatever they do afterwards (their late release included) no longer
// touches the watchdog.
#ifndef PATERM_BOARD_SIM_WATCHDOG_H
#define PATERM_BOARD_SIM_WATCHDOG_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "board/sim/device.h"
#include "board/sim/op_log.h"

namespace sim {

class WatchdogModel {
public:
    static constexpr int kDefaultTimeoutS = 30;
    static constexpr int kMaxTimeoutS = 3600;

    struct Status {
        bool opened = false;
        bool armed = false;
        int timeoutS = kDefaultTimeoutS;  // as the program set it
        int effectiveTimeoutS = kDefaultTimeoutS;
        uint64_t feeds = 0;  // since power-on
        int64_t lastFeedMs = -1;
        bool stallRequested = false;
        bool holding = false;
    };

    // overrideTimeoutS > 0 replaces the program's timeout for resets.
    WatchdogModel(std::function<int64_t()> nowMs, int overrideTimeoutS, OpLog* log);

    IoResult Open(uint64_t* epoch);
    IoResult Write(uint64_t epoch, const uint8_t* data, size_t count);
    IoResult Ioctl(uint64_t epoch, unsigned long request, std::vector<uint8_t>* arg);
    void Release(uint64_t epoch);

    bool Expired() const;
    bool Armed() const;
    Status GetStatus() const;

    void Stall();
    void Resume();
    // Power-on: closed, disarmed, counters cleared, a held write let go.
    void PowerOn();
    // Power-off: lets every held write go for good.
    void Shutdown();

private:
    void RestartCountdown();  // mutex held
    int EffectiveTimeoutS() const;

    std::function<int64_t()> nowMs_;
    const int overrideTimeoutS_;
    OpLog* log_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    uint64_t epoch_ = 1;
    bool shutdown_ = false;
    bool opened_ = false;
    bool armed_ = false;
    bool magicSeen_ = false;
    int timeoutS_ = kDefaultTimeoutS;
    uint64_t feeds_ = 0;
    int64_t lastFeedMs_ = -1;
    int64_t countdownFromMs_ = 0;
    bool stallRequested_ = false;
    bool holding_ = false;
};

class WatchdogDevice : public Device {
public:
    explicit WatchdogDevice(WatchdogModel* model) : model_(model) {}
    OpenResult Open(int flags) override;

private:
    WatchdogModel* model_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_WATCHDOG_H
