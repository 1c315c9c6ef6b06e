// The watchdog model and its device sessions.
#include "board/sim/watchdog.h"

#include <linux/watchdog.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace sim {
namespace {

class WatchdogSession : public DeviceSession {
public:
    WatchdogSession(WatchdogModel* model, uint64_t epoch) : model_(model), epoch_(epoch) {}
    IoResult Write(const uint8_t* buf, size_t count) override { return model_->Write(epoch_, buf, count); }
    IoResult Ioctl(unsigned long request, uint64_t, std::vector<uint8_t>* arg) override {
        return model_->Ioctl(epoch_, request, arg);
    }
    void Release() override { model_->Release(epoch_); }

private:
    WatchdogModel* model_;
    uint64_t epoch_;
};

bool ReadIntArg(const std::vector<uint8_t>& arg, int* value) {
    if (arg.size() < sizeof(int)) return false;
    std::memcpy(value, arg.data(), sizeof(int));
    return true;
}

void WriteIntArg(std::vector<uint8_t>* arg, int value) {
    if (arg->size() >= sizeof(int)) std::memcpy(arg->data(), &value, sizeof(int));
}

}  // namespace

WatchdogModel::WatchdogModel(std::function<int64_t()> nowMs, int overrideTimeoutS, OpLog* log)
    : nowMs_(std::move(nowMs)), overrideTimeoutS_(overrideTimeoutS), log_(log) {}

int WatchdogModel::EffectiveTimeoutS() const { return overrideTimeoutS_ > 0 ? overrideTimeoutS_ : timeoutS_; }

void WatchdogModel::RestartCountdown() { countdownFromMs_ = nowMs_(); }

IoResult WatchdogModel::Open(uint64_t* epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (opened_) return IoResult::Failed(EBUSY);  // a watchdog has one user at a time
    opened_ = true;
    armed_ = true;
    magicSeen_ = false;
    RestartCountdown();
    *epoch = epoch_;
    return IoResult::Done(0);
}

IoResult WatchdogModel::Write(uint64_t epoch, const uint8_t* data, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (epoch != epoch_ || shutdown_) return IoResult::Failed(EIO);
    if (stallRequested_) {
        stallRequested_ = false;
        holding_ = true;
        released_.wait(lock, [&] { return !holding_ || epoch != epoch_ || shutdown_; });
        if (epoch != epoch_ || shutdown_) return IoResult::Failed(EIO);
        return IoResult::Done(static_cast<long>(count));
    }
    if (count == 0) return IoResult::Done(0);
    ++feeds_;
    lastFeedMs_ = nowMs_();
    RestartCountdown();
    // As in Linux drivers, only the latest write decides whether close disarms.
    magicSeen_ = std::find(data, data + count, 'V') != data + count;
    return IoResult::Done(static_cast<long>(count));
}

IoResult WatchdogModel::Ioctl(uint64_t epoch, unsigned long request, std::vector<uint8_t>* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch != epoch_ || shutdown_) return IoResult::Failed(EIO);
    int value = 0;
    switch (request) {
    case WDIOC_KEEPALIVE:
        ++feeds_;
        lastFeedMs_ = nowMs_();
        RestartCountdown();
        return IoResult::Done(0);
    case WDIOC_SETTIMEOUT:
        if (!ReadIntArg(*arg, &value)) return IoResult::Failed(EFAULT);
        if (value < 1 || value > kMaxTimeoutS) return IoResult::Failed(EINVAL);
        timeoutS_ = value;
        RestartCountdown();  // Linux pings after setting the timeout
        WriteIntArg(arg, timeoutS_);
        log_->Add(LogKind::kIoctl, "/dev/watchdog WDIOC_SETTIMEOUT " + std::to_string(value) + " -> " +
                                       std::to_string(timeoutS_) +
                                       (overrideTimeoutS_ > 0 ? " (resets after " +
                                                                    std::to_string(overrideTimeoutS_) + " s)"
                                                              : ""));
        return IoResult::Done(0);
    case WDIOC_GETTIMEOUT:
        if (arg->size() < sizeof(int)) return IoResult::Failed(EFAULT);
        WriteIntArg(arg, timeoutS_);
        return IoResult::Done(0);
    default:
        return IoResult::Failed(ENOTTY);
    }
}

void WatchdogModel::Release(uint64_t epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch != epoch_) return;
    opened_ = false;
    if (magicSeen_) {
        armed_ = false;
        log_->Add(LogKind::kWatchdog, "closed after the magic 'V': disarmed");
    } else {
        log_->Add(LogKind::kWatchdog, "closed without the magic 'V': stays armed");
    }
}

bool WatchdogModel::Expired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return armed_ && nowMs_() - countdownFromMs_ >= static_cast<int64_t>(EffectiveTimeoutS()) * 1000;
}

bool WatchdogModel::Armed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return armed_;
}

WatchdogModel::Status WatchdogModel::GetStatus() const {
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

void WatchdogModel::Stall() {
    std::lock_guard<std::mutex> lock(mutex_);
    stallRequested_ = true;
}

void WatchdogModel::Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    stallRequested_ = false;
    holding_ = false;
    released_.notify_all();
}

void WatchdogModel::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
    opened_ = armed_ = magicSeen_ = false;
    timeoutS_ = kDefaultTimeoutS;
    feeds_ = 0;
    lastFeedMs_ = -1;
    stallRequested_ = holding_ = false;
    released_.notify_all();
}

void WatchdogModel::Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
    holding_ = false;
    released_.notify_all();
}

OpenResult WatchdogDevice::Open(int) {
    uint64_t epoch = 0;
    IoResult opened = model_->Open(&epoch);
    if (opened.error) return OpenResult::Failed(opened.error);
    OpenResult result;
    result.session = std::make_unique<WatchdogSession>(model_, epoch);
    return result;
}

}  // namespace sim
