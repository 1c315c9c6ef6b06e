// The watchdog model on a hand-driven clock: arming, feeding, timeouts,
// the magic close, the old program's session across a power cycle, and the
// held write of "player.stall".
#include <linux/watchdog.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/watchdog.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using sim::IoResult;
using sim::Watchdog;

std::vector<uint8_t> IntArg(int value, size_t size = sizeof(int)) {
    std::vector<uint8_t> arg(size);
    std::memcpy(arg.data(), &value, std::min(size, sizeof value));
    return arg;
}

int ArgValue(const std::vector<uint8_t>& arg) {
    int value;
    std::memcpy(&value, arg.data(), sizeof value);
    return value;
}

class WatchdogTest : public ::testing::Test {
protected:
    WatchdogTest() : log([this] { return now.load(); }, ""), model([this] { return now.load(); }, 0, &log) {
        model.PowerOn();
    }

    void Open() { EXPECT_EQ(model.Open().error, 0); }
    IoResult Feed(const char* bytes = "\0") { return model.Write(reinterpret_cast<const uint8_t*>(bytes), 1); }

    std::atomic<int64_t> now{1000};
    sim::OpLog log;
    Watchdog model;
};

TEST_F(WatchdogTest, OpeningArmsWithThirtySecondsAndOneUserAtATime) {
    EXPECT_FALSE(model.Armed());
    Open();
    EXPECT_TRUE(model.Armed());
    EXPECT_EQ(model.GetStatus().timeoutS, 30);
    EXPECT_EQ(model.Open().error, EBUSY);
    model.Release();
    Open();  // free again after the close
}

TEST_F(WatchdogTest, ExpiresExactlyOneTimeoutAfterTheLastFeed) {
    Open();
    now = 1000 + 29999;
    EXPECT_FALSE(model.Expired());
    EXPECT_EQ(Feed().value, 1);
    EXPECT_EQ(model.GetStatus().feeds, 1u);
    EXPECT_EQ(model.GetStatus().lastFeedMs, 30999);
    now = 30999 + 29999;
    EXPECT_FALSE(model.Expired());
    now = 30999 + 30000;
    EXPECT_TRUE(model.Expired());
}

TEST_F(WatchdogTest, EmptyWriteIsNoFeed) {
    Open();
    EXPECT_EQ(model.Write(nullptr, 0).value, 0);
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    now = 31000;
    EXPECT_TRUE(model.Expired());
}

TEST_F(WatchdogTest, IoctlsSetGetAndKeepAlive) {
    Open();
    std::vector<uint8_t> arg = IntArg(5);
    EXPECT_EQ(model.Ioctl(WDIOC_SETTIMEOUT, &arg).value, 0);
    EXPECT_EQ(ArgValue(arg), 5);  // the new timeout comes back, as Linux returns it
    std::vector<uint8_t> got = IntArg(-1);
    EXPECT_EQ(model.Ioctl(WDIOC_GETTIMEOUT, &got).value, 0);
    EXPECT_EQ(ArgValue(got), 5);

    for (int bad : {0, -3, Watchdog::kMaxTimeoutS + 1}) {
        std::vector<uint8_t> b = IntArg(bad);
        EXPECT_EQ(model.Ioctl(WDIOC_SETTIMEOUT, &b).error, EINVAL) << bad;
    }
    std::vector<uint8_t> shortArg(2);
    EXPECT_EQ(model.Ioctl(WDIOC_SETTIMEOUT, &shortArg).error, EFAULT);
    EXPECT_EQ(model.GetStatus().timeoutS, 5);

    now = 5000;
    std::vector<uint8_t> none;
    EXPECT_EQ(model.Ioctl(WDIOC_KEEPALIVE, &none).value, 0);
    EXPECT_EQ(model.GetStatus().feeds, 1u);
    now = 9999;
    EXPECT_FALSE(model.Expired());
    now = 10000;
    EXPECT_TRUE(model.Expired());
    EXPECT_EQ(model.Ioctl(WDIOC_GETSUPPORT, &none).error, ENOTTY);
}

TEST_F(WatchdogTest, BoardTimeoutOverridesTheProgramsSetting) {
    Watchdog forced([this] { return now.load(); }, 2, &log);
    forced.PowerOn();
    ASSERT_EQ(forced.Open().error, 0);
    std::vector<uint8_t> arg = IntArg(30);
    ASSERT_EQ(forced.Ioctl(WDIOC_SETTIMEOUT, &arg).value, 0);
    EXPECT_EQ(ArgValue(arg), 30);  // the program sees its own value
    EXPECT_EQ(forced.GetStatus().timeoutS, 30);
    EXPECT_EQ(forced.GetStatus().effectiveTimeoutS, 2);
    now = 1000 + 1999;
    EXPECT_FALSE(forced.Expired());
    now = 1000 + 2000;
    EXPECT_TRUE(forced.Expired());
}

TEST_F(WatchdogTest, OnlyAMagicLastWriteDisarmsOnClose) {
    Open();
    Feed("V");
    Feed("x");  // the magic must be the last word
    model.Release();
    EXPECT_TRUE(model.Armed());

    Open();
    EXPECT_EQ(model.Write(reinterpret_cast<const uint8_t*>("xV"), 2).value, 2);
    model.Release();
    EXPECT_FALSE(model.Armed());
    now = 1000000;
    EXPECT_FALSE(model.Expired());

    Open();  // no write at all: close leaves it armed
    model.Release();
    EXPECT_TRUE(model.Armed());
}

TEST_F(WatchdogTest, APowerCycleCutsTheOldSessionAndItsLateRelease) {
    Open();
    Feed();
    model.PowerOff();
    EXPECT_EQ(Feed().error, EIO);  // the old program's call after power-off
    model.Release();               // its session ends while the board is off
    model.PowerOn();
    EXPECT_FALSE(model.Armed());
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    Open();  // not EBUSY: the old session died with the program
    EXPECT_EQ(Feed().value, 1);
}

TEST_F(WatchdogTest, StallHoldsOneWriteUntilResume) {
    Open();
    model.Stall();
    std::atomic<long> result{-2};
    std::thread writer([&] { result = Feed().value; });
    ASSERT_TRUE(simtest::WaitUntil([&] { return model.GetStatus().holding; }, 2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(result.load(), -2);  // still held
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    now = 1000 + 30000;
    EXPECT_TRUE(model.Expired());  // the watchdog runs on while the write is held
    model.Resume();
    writer.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(model.GetStatus().feeds, 0u);  // the held write was no feed
    EXPECT_EQ(Feed().value, 1);         // the next one is, and is not held
    EXPECT_EQ(model.GetStatus().feeds, 1u);
}

TEST_F(WatchdogTest, PowerOffLetsAHeldWriteGo) {
    for (int round = 0; round < 2; ++round) {
        model.PowerOn();
        Open();
        model.Stall();
        std::atomic<int> error{0};
        std::thread writer([&] { error = Feed().error; });
        ASSERT_TRUE(simtest::WaitUntil([&] { return model.GetStatus().holding; }, 2s));
        model.PowerOff();
        writer.join();
        EXPECT_EQ(error.load(), EIO);
        EXPECT_FALSE(model.GetStatus().holding);
        EXPECT_FALSE(model.GetStatus().stallRequested);
    }
}

}  // namespace
