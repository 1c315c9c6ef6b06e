// A power cycle against a call the old program left in flight: the seam
// server cuts the session at once (the program's call returns), but the
// thread serving it stays inside the device until the device's power-off
// lets the call go; only then can the board join it and power on.
#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sim/netlink.h"
#include "board/sim/part.h"
#include "board/sim/seam_server.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;

// A device whose reads wait for data that never comes, until power-off.
class SilentLine : public sim::BoardPart, public sim::Device {
public:
    void Attach(sim::DeviceRegistry& devices, sim::ControlRegistry&) override {
        devices.Add("/dev/silent", std::shared_ptr<sim::Device>(this, [](sim::Device*) {}));
    }
    void PowerOff() override {
        std::lock_guard<std::mutex> lock(mutex_);
        off_ = true;
        changed_.notify_all();
    }
    sim::OpenResult Open(int) override {
        sim::OpenResult result;
        result.session = std::make_unique<Session>(this);
        return result;
    }
    std::atomic<int> readsInFlight{0};
    std::atomic<int> releases{0};

private:
    struct Session : sim::DeviceSession {
        explicit Session(SilentLine* line) : line_(line) {}
        sim::IoResult Read(uint8_t*, size_t) override {
            ++line_->readsInFlight;
            std::unique_lock<std::mutex> lock(line_->mutex_);
            line_->changed_.wait(lock, [&] { return line_->off_; });
            --line_->readsInFlight;
            return sim::IoResult::Failed(EIO);
        }
        void Release() override { ++line_->releases; }
        SilentLine* line_;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    bool off_ = false;
};

TEST(PowerCycle, AReadBlockedInADeviceIsCutThenLetGoByItsPowerOff) {
    simtest::TempDir root;
    ::setenv("PATERM_ROOT", root.path().c_str(), 1);
    simtest::WriteFile(root.path() + "/sim/.keep", "");
    sim::OpLog log([] { return int64_t{0}; }, "");
    sim::NetlinkModel netlink(&log);
    sim::DeviceRegistry devices;
    sim::ControlRegistry controls;
    SilentLine line;
    line.Attach(devices, controls);
    sim::SeamServer seam({&devices, &netlink, nullptr, nullptr, &log});
    sim::Result<> started = seam.Start(root.path() + "/sim/board.sock");
    ASSERT_TRUE(started) << started.error().Text();

    const int fd = board::Open("/dev/silent", O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::atomic<ssize_t> got{1};
    std::thread program([&] {
        char byte;
        got = board::Read(fd, &byte, 1);
    });
    ASSERT_TRUE(simtest::WaitUntil([&] { return line.readsInFlight.load() == 1; }, 2s));

    seam.ShutdownSessions();
    program.join();  // the program's side returns as soon as its connection is cut
    EXPECT_EQ(got.load(), -1);
    EXPECT_FALSE(seam.WaitSessions(200ms));  // the serving thread is still inside the device
    EXPECT_EQ(line.releases.load(), 0);

    line.PowerOff();
    EXPECT_TRUE(seam.WaitSessions(2s));
    EXPECT_EQ(line.readsInFlight.load(), 0);
    EXPECT_EQ(line.releases.load(), 1);  // the device saw the close before the next power-on
    board::Close(fd);
    seam.Stop();
    ::unsetenv("PATERM_ROOT");
}

}  // namespace
