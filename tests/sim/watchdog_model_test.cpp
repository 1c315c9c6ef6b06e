// The watchdog model on a hand-driven clock: arming, feeding, timeouts,
// the magic close, stale sessions across a power-on, and the held write
// of "player.stall".
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
using sim::WatchdogModel;

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
    WatchdogTest() : log([this] { return now.load(); }, ""), model([this] { return now.load(); }, 0, &log) {}

    uint64_t Open() {
        uint64_t epoch = 0;
        EXPECT_EQ(model.Open(&epoch).error, 0);
        return epoch;
    }
    IoResult Feed(uint64_t epoch, const char* bytes = "\0") { return model.Write(epoch, reinterpret_cast<const uint8_t*>(bytes), 1); }

    std::atomic<int64_t> now{1000};
    sim::OpLog log;
    WatchdogModel model;
};

TEST_F(WatchdogTest, OpeningArmsWithThirtySecondsAndOneUserAtATime) {
    EXPECT_FALSE(model.Armed());
    uint64_t epoch = Open();
    EXPECT_TRUE(model.Armed());
    EXPECT_EQ(model.GetStatus().timeoutS, 30);
    uint64_t second = 0;
    EXPECT_EQ(model.Open(&second).error, EBUSY);
    model.Release(epoch);
    Open();  // free again after the close
}

TEST_F(WatchdogTest, ExpiresExactlyOneTimeoutAfterTheLastFeed) {
    uint64_t epoch = Open();
    now = 1000 + 29999;
    EXPECT_FALSE(model.Expired());
    EXPECT_EQ(Feed(epoch).value, 1);
    EXPECT_EQ(model.GetStatus().feeds, 1u);
    EXPECT_EQ(model.GetStatus().lastFeedMs, 30999);
    now = 30999 + 29999;
    EXPECT_FALSE(model.Expired());
    now = 30999 + 30000;
    EXPECT_TRUE(model.Expired());
}

TEST_F(WatchdogTest, EmptyWriteIsNoFeed) {
    uint64_t epoch = Open();
    EXPECT_EQ(model.Write(epoch, nullptr, 0).value, 0);
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    now = 31000;
    EXPECT_TRUE(model.Expired());
}

TEST_F(WatchdogTest, IoctlsSetGetAndKeepAlive) {
    uint64_t epoch = Open();
    std::vector<uint8_t> arg = IntArg(5);
    EXPECT_EQ(model.Ioctl(epoch, WDIOC_SETTIMEOUT, &arg).value, 0);
    EXPECT_EQ(ArgValue(arg), 5);  // the new timeout comes back, as Linux returns it
    std::vector<uint8_t> got = IntArg(-1);
    EXPECT_EQ(model.Ioctl(epoch, WDIOC_GETTIMEOUT, &got).value, 0);
    EXPECT_EQ(ArgValue(got), 5);

    for (int bad : {0, -3, WatchdogModel::kMaxTimeoutS + 1}) {
        std::vector<uint8_t> b = IntArg(bad);
        EXPECT_EQ(model.Ioctl(epoch, WDIOC_SETTIMEOUT, &b).error, EINVAL) << bad;
    }
    std::vector<uint8_t> shortArg(2);
    EXPECT_EQ(model.Ioctl(epoch, WDIOC_SETTIMEOUT, &shortArg).error, EFAULT);
    EXPECT_EQ(model.GetStatus().timeoutS, 5);

    now = 5000;
    std::vector<uint8_t> none;
    EXPECT_EQ(model.Ioctl(epoch, WDIOC_KEEPALIVE, &none).value, 0);
    EXPECT_EQ(model.GetStatus().feeds, 1u);
    now = 9999;
    EXPECT_FALSE(model.Expired());
    now = 10000;
    EXPECT_TRUE(model.Expired());
    EXPECT_EQ(model.Ioctl(epoch, WDIOC_GETSUPPORT, &none).error, ENOTTY);
}

TEST_F(WatchdogTest, BoardTimeoutOverridesTheProgramsSetting) {
    WatchdogModel forced([this] { return now.load(); }, 2, &log);
    uint64_t epoch = 0;
    ASSERT_EQ(forced.Open(&epoch).error, 0);
    std::vector<uint8_t> arg = IntArg(30);
    ASSERT_EQ(forced.Ioctl(epoch, WDIOC_SETTIMEOUT, &arg).value, 0);
    EXPECT_EQ(ArgValue(arg), 30);  // the program sees its own value
    EXPECT_EQ(forced.GetStatus().timeoutS, 30);
    EXPECT_EQ(forced.GetStatus().effectiveTimeoutS, 2);
    now = 1000 + 1999;
    EXPECT_FALSE(forced.Expired());
    now = 1000 + 2000;
    EXPECT_TRUE(forced.Expired());
}

TEST_F(WatchdogTest, OnlyAMagicLastWriteDisarmsOnClose) {
    uint64_t epoch = Open();
    Feed(epoch, "V");
    Feed(epoch, "x");  // the magic must be the last word
    model.Release(epoch);
    EXPECT_TRUE(model.Armed());

    epoch = Open();
    EXPECT_EQ(model.Write(epoch, reinterpret_cast<const uint8_t*>("xV"), 2).value, 2);
    model.Release(epoch);
    EXPECT_FALSE(model.Armed());
    now = 1000000;
    EXPECT_FALSE(model.Expired());

    epoch = Open();  // no write at all: close leaves it armed
    model.Release(epoch);
    EXPECT_TRUE(model.Armed());
}

TEST_F(WatchdogTest, PowerOnMakesEarlierSessionsStale) {
    uint64_t old = Open();
    Feed(old);
    model.PowerOn();
    EXPECT_FALSE(model.Armed());
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    uint64_t fresh = Open();  // not EBUSY: the old session died with the program
    EXPECT_EQ(Feed(old).error, EIO);
    model.Release(old);  // a late release of the old program's session
    EXPECT_TRUE(model.GetStatus().opened);
    EXPECT_EQ(model.GetStatus().feeds, 0u);
    EXPECT_EQ(Feed(fresh).value, 1);
}

TEST_F(WatchdogTest, StallHoldsOneWriteUntilResume) {
    uint64_t epoch = Open();
    model.Stall();
    std::atomic<long> result{-2};
    std::thread writer([&] { result = Feed(epoch).value; });
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
    EXPECT_EQ(Feed(epoch).value, 1);         // the next one is, and is not held
    EXPECT_EQ(model.GetStatus().feeds, 1u);
}

TEST_F(WatchdogTest, PowerOnAndShutdownLetAHeldWriteGo) {
    for (int round = 0; round < 2; ++round) {
        uint64_t epoch = Open();
        model.Stall();
        std::atomic<int> error{0};
        std::thread writer([&] { error = Feed(epoch).error; });
        ASSERT_TRUE(simtest::WaitUntil([&] { return model.GetStatus().holding; }, 2s));
        if (round == 0) model.PowerOn();
        else model.Shutdown();
        writer.join();
        EXPECT_EQ(error.load(), EIO);
        EXPECT_FALSE(model.GetStatus().holding);
        EXPECT_FALSE(model.GetStatus().stallRequested);
    }
}

}  // namespace
