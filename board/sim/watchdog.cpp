// The watchdog model, its device sessions and its backdoor commands.
#include "board/sim/watchdog.h"

#include <linux/watchdog.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace sim {
namespace {

class WatchdogSession : public DeviceSession {
public:
    explicit WatchdogSession(Watchdog* model) : model_(model) {}
    IoResult Write(const uint8_t* buf, size_t count) override { return model_->Write(buf, count); }
    IoResult Ioctl(unsigned long request, uint64_t, std::vector<uint8_t>* arg) override {
        return model_->Ioctl(request, arg);
    }
    void Release() override { model_->Release(); }

private:
    Watchdog* model_;
};

class WatchdogDevice : public Device {
public:
    explicit WatchdogDevice(Watchdog* model) : model_(model) {}
    OpenResult Open(int) override {
        IoResult opened = model_->Open();
        if (opened.error) return OpenResult::Failed(opened.error);
        OpenResult result;
        result.session = std::make_unique<WatchdogSession>(model_);
        return result;
    }

private:
    Watchdog* model_;
};

}  // namespace

Watchdog::Watchdog(std::function<int64_t()> nowMs, int overrideTimeoutS, OpLog* log)
    : nowMs_(std::move(nowMs)), overrideTimeoutS_(overrideTimeoutS), log_(log) {}

void Watchdog::Attach(DeviceRegistry& devices, ControlRegistry& controls) {
    devices.Add("/dev/watchdog", std::make_shared<WatchdogDevice>(this));
    controls.Add("player.stall", [this](const Json&) {
        Stall();
        return ControlOk();
    });
    controls.Add("player.resume", [this](const Json&) {
        Resume();
        return ControlOk();
    });
}

int Watchdog::EffectiveTimeoutS() const { return overrideTimeoutS_ > 0 ? overrideTimeoutS_ : timeoutS_; }

void Watchdog::Feed() {
    ++feeds_;
    lastFeedMs_ = countdownFromMs_ = nowMs_();
}

IoResult Watchdog::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poweredOff_) return IoResult::Failed(ENODEV);
    if (opened_) return IoResult::Failed(EBUSY);  // a watchdog has one user at a time
    opened_ = true;
    armed_ = true;
    magicSeen_ = false;
    countdownFromMs_ = nowMs_();
    return IoResult::Done(0);
}

IoResult Watchdog::Write(const uint8_t* data, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (poweredOff_) return IoResult::Failed(EIO);
    if (stallRequested_) {
        stallRequested_ = false;
        holding_ = true;
        released_.wait(lock, [&] { return !holding_ || poweredOff_; });
        if (poweredOff_) return IoResult::Failed(EIO);
        return IoResult::Done(static_cast<long>(count));
    }
    if (count == 0) return IoResult::Done(0);
    Feed();
    // As in Linux drivers, only the latest write decides whether close disarms.
    magicSeen_ = std::find(data, data + count, 'V') != data + count;
    return IoResult::Done(static_cast<long>(count));
}

IoResult Watchdog::Ioctl(unsigned long request, std::vector<uint8_t>* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poweredOff_) return IoResult::Failed(EIO);
    int value = 0;
    switch (request) {
    case WDIOC_KEEPALIVE:
        Feed();
        return IoResult::Done(0);
    case WDIOC_SETTIMEOUT:
        if (!ReadIntArg(*arg, &value)) return IoResult::Failed(EFAULT);
        if (value < 1 || value > kMaxTimeoutS) return IoResult::Failed(EINVAL);
        timeoutS_ = value;
        countdownFromMs_ = nowMs_();  // Linux pings after setting the timeout
        WriteIntArg(arg, timeoutS_);
        log_->Add(LogKind::kIoctl,
                  "/dev/watchdog WDIOC_SETTIMEOUT " + std::to_string(value) + " -> " + std::to_string(timeoutS_) +
                      (overrideTimeoutS_ > 0 ? " (resets after " + std::to_string(overrideTimeoutS_) + " s)" : ""));
        return IoResult::Done(0);
    case WDIOC_GETTIMEOUT:
        if (arg->size() < sizeof(int)) return IoResult::Failed(EFAULT);
        WriteIntArg(arg, timeoutS_);
        return IoResult::Done(0);
    default:
        return IoResult::Failed(ENOTTY);
    }
}

void Watchdog::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poweredOff_) return;  // the old program's session, cut at power-off
    opened_ = false;
    if (magicSeen_) {
        armed_ = false;
        log_->Add(LogKind::kWatchdog, "closed after the magic 'V': disarmed");
    } else {
        log_->Add(LogKind::kWatchdog, "closed without the magic 'V': stays armed");
    }
}

bool Watchdog::Expired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return armed_ && nowMs_() - countdownFromMs_ >= static_cast<int64_t>(EffectiveTimeoutS()) * 1000;
}

bool Watchdog::Armed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return armed_;
}

Watchdog::Status Watchdog::GetStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Status s;
    s.opened = opened_;
    s.armed = armed_;
    s.timeoutS = timeoutS_;
    s.effectiveTimeoutS = EffectiveTimeoutS();
    s.feeds = feeds_;
    s.lastFeedMs = lastFeedMs_;
    s.stallRequested = stallRequested_;
    s.holding = holding_;
    return s;
}

void Watchdog::AddStatus(Json& status) const {
    const Status s = GetStatus();
    status["watchdog"] = Json{{"opened", s.opened},
                              {"armed", s.armed},
                              {"timeout_s", s.timeoutS},
                              {"reset_after_s", s.effectiveTimeoutS},
                              {"feeds", s.feeds},
                              {"last_feed_ms", s.lastFeedMs},
                              {"stall_requested", s.stallRequested},
                              {"holding", s.holding}};
}

void Watchdog::Stall() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stallRequested_ = true;
    }
    log_->Add(LogKind::kControl, "player.stall: the next write to /dev/watchdog is held");
}

void Watchdog::Resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stallRequested_ = false;
        holding_ = false;
        released_.notify_all();
    }
    log_->Add(LogKind::kControl, "player.resume: a held write to /dev/watchdog is released");
}

void Watchdog::PowerOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    poweredOff_ = true;
    holding_ = false;
    released_.notify_all();
}

void Watchdog::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    poweredOff_ = false;
    opened_ = armed_ = magicSeen_ = false;
    timeoutS_ = kDefaultTimeoutS;
    feeds_ = 0;
    lastFeedMs_ = -1;
    stallRequested_ = holding_ = false;
}

}  // namespace sim
