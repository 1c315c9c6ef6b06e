// The board's watchdog "/dev/watchdog", modelled on a Linux watchdog driver:
// opening arms it (default 30 s) and restarts its countdown; any write or
// WDIOC_KEEPALIVE feeds it; WDIOC_SETTIMEOUT sets the timeout and returns it;
// a write containing the magic 'V' before close disarms it, any other close
// leaves it armed. The board resets the program once it has gone a timeout
// without a feed (see Expired).
//
// Backdoor: "player.stall" holds the next write without answering, as if
// the one task that feeds the watchdog were stuck in its tick handler;
// "player.resume" lets the write finish. A held write is not a feed.
//
// Power-off makes a held write return (EIO) and every later call of the old
// program's sessions fail; their late release no longer touches the model.
#ifndef PATERM_BOARD_SIM_WATCHDOG_H
#define PATERM_BOARD_SIM_WATCHDOG_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "board/sim/op_log.h"
#include "board/sim/part.h"

namespace sim {

class Watchdog : public BoardPart {
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
    Watchdog(std::function<int64_t()> nowMs, int overrideTimeoutS, OpLog* log);

    void Attach(DeviceRegistry& devices, ControlRegistry& controls) override;
    void PowerOff() override;
    void PowerOn() override;
    void AddStatus(Json& status) const override;

    // The bus side, for the device's sessions.
    IoResult Open();
    IoResult Write(const uint8_t* data, size_t count);
    IoResult Ioctl(unsigned long request, std::vector<uint8_t>* arg);
    void Release();

    bool Expired() const;
    bool Armed() const;
    Status GetStatus() const;
    void Stall();
    void Resume();

private:
    void Feed();  // mutex held
    int EffectiveTimeoutS() const;

    std::function<int64_t()> nowMs_;
    const int overrideTimeoutS_;
    OpLog* log_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool poweredOff_ = true;  // until the first power-on
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

}  // namespace sim

#endif  // PATERM_BOARD_SIM_WATCHDOG_H
