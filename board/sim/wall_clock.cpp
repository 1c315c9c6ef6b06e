// The clock offsets, their files and their log entries.
#include "board/sim/wall_clock.h"

#include "board/sim/control.h"

#include <time.h>

#include <cstdio>
#include <fstream>
#include <utility>

namespace sim {
namespace {

// About 30 years either way: the clock stays within what a 32-bit time_t
// on the terminal can hold from any sane setting.
constexpr int64_t kMaxJumpS = 1000000000;

// A missing or unreadable file reads as offset 0: the host's time.
int64_t LoadOffset(const std::string& path) {
    std::ifstream in(path);
    long long value = 0;
    if (!(in >> value)) return 0;
    return value;
}

void StoreOffset(const std::string& path, int64_t offsetUs) {
    std::ofstream out(path, std::ios::trunc);
    out << offsetUs << "\n";
}

std::string Describe(int64_t offsetUs) {
    int64_t us = WallClock::HostNowUs() + offsetUs;
    time_t sec = static_cast<time_t>(us / 1000000);
    struct tm utc;
    char text[64] = "?";
    if (gmtime_r(&sec, &utc)) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    char line[128];
    std::snprintf(line, sizeof line, "%s (offset %+lld s)", text, static_cast<long long>(offsetUs / 1000000));
    return line;
}

}  // namespace

WallClock::WallClock(std::string systemFile, std::string hardwareFile, OpLog* log)
    : systemFile_(std::move(systemFile)), hardwareFile_(std::move(hardwareFile)), log_(log) {
    hardwareOffsetUs_ = LoadOffset(hardwareFile_);
    systemOffsetUs_ = hardwareOffsetUs_;
}

int64_t WallClock::HostNowUs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void WallClock::PowerOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    hardwareOffsetUs_ = LoadOffset(hardwareFile_);
    systemOffsetUs_ = hardwareOffsetUs_;
    StoreOffset(systemFile_, systemOffsetUs_);
}

int64_t WallClock::SystemOffsetUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return systemOffsetUs_;
}

int64_t WallClock::HardwareOffsetUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hardwareOffsetUs_;
}

void WallClock::SetSystem(int64_t sec, int64_t usec) {
    int64_t offset = sec * 1000000 + usec - HostNowUs();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        systemOffsetUs_ = offset;
        StoreOffset(systemFile_, offset);
    }
    log_->Add(LogKind::kClock, "system clock set to " + Describe(offset));
}

void WallClock::JumpSystem(int64_t seconds) {
    int64_t offset;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        systemOffsetUs_ += seconds * 1000000;
        offset = systemOffsetUs_;
        StoreOffset(systemFile_, offset);
    }
    log_->Add(LogKind::kClock, "system clock jumped " + std::to_string(seconds) + " s to " + Describe(offset));
}

void WallClock::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("clock.jump", [this](const Json& request) {
        const auto seconds = IntegerArg(request, "seconds", -kMaxJumpS, kMaxJumpS, std::nullopt);
        if (!seconds) return ControlError("\"seconds\" must be an integer, -" + std::to_string(kMaxJumpS) + ".." +
                                          std::to_string(kMaxJumpS));
        JumpSystem(*seconds);
        Json reply = ControlOk();
        AddStatus(reply);
        return reply;
    });
}

void WallClock::WriteHardware() {
    int64_t offset;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hardwareOffsetUs_ = systemOffsetUs_;
        offset = hardwareOffsetUs_;
        StoreOffset(hardwareFile_, offset);
    }
    log_->Add(LogKind::kClock, "hardware clock set to " + Describe(offset));
}

void WallClock::AddStatus(Json& status) const {
    const int64_t host = HostNowUs();
    const int64_t system = SystemOffsetUs(), hardware = HardwareOffsetUs();
    // Seconds since 1970 as the terminal's clocks read them, and their
    // offsets from the host clock, which the board never sets.
    status["clock"] = Json{{"system_s", (host + system) / 1000000},
                           {"system_offset_us", system},
                           {"hardware_s", (host + hardware) / 1000000},
                           {"hardware_offset_us", hardware}};
}

}  // namespace sim
