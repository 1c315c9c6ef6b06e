// Tests of the software timers. Most drive the timer task's tick by hand
// (VosTimerTickAt with chosen clock readings) so expiries are exact; one runs
// the real timer task with a tolerant, bounded wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/od_diag.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kLongDelay = 600000;

uint32_t NowLow() {
    Uint64 now{};
    OdWrap__TimeGetMs(&now);
    return now.low;
}

// Callbacks run on the ticking thread; the record is shared with the test thread.
std::mutex gFiredMutex;
std::vector<int> gFired;

int RecordFiring(void* argument) {
    std::lock_guard<std::mutex> lock(gFiredMutex);
    gFired.push_back(*static_cast<int*>(argument));
    return 0;
}

std::vector<int> Fired() {
    std::lock_guard<std::mutex> lock(gFiredMutex);
    return gFired;
}

std::vector<uint32_t> Delays() {
    std::vector<uint32_t> delays(1024);
    delays.resize(VosTimerDelays(delays.data(), delays.size()));
    return delays;
}

class Timers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
        ASSERT_EQ(VosTimerInit(), 0u);
        VosSleepMs(40);  // so that clock readings a little in the past exist
        tick_ = NowLow();
        VosTimerTickAt(tick_);
    }
    // Advances the hand-driven tick by ms.
    void Tick(uint32_t ms) {
        tick_ += ms;
        VosTimerTickAt(tick_);
    }
    uint32_t tick_ = 0;
    int ids_[8] = {0, 1, 2, 3, 4, 5, 6, 7};
};

TEST_F(Timers, EqualExpiriesFireInStartOrderOnOneTick) {
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(200, &handle, RecordFiring, &ids_[1], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(100, &handle, RecordFiring, &ids_[2], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(100, &handle, RecordFiring, &ids_[3], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(100, &handle, RecordFiring, &ids_[4], 0, 0), 0u);
    Tick(600);  // well past every start lag
    EXPECT_EQ(Fired(), (std::vector<int>{2, 3, 4, 1}));
    EXPECT_TRUE(Delays().empty());
}

TEST_F(Timers, DeltaListStoresDelaysRelativeToThePreviousExpiry) {
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(300, &handle, RecordFiring, &ids_[1], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(100, &handle, RecordFiring, &ids_[2], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(200, &handle, RecordFiring, &ids_[3], 0, 0), 0u);
    const uint32_t lagBound = NowLow() - tick_;  // no start saw more lag than this
    const std::vector<uint32_t> d = Delays();
    ASSERT_EQ(d.size(), 3u);
    // (100 + e, 100, 100) when all three starts saw the same lag e.
    EXPECT_GE(d[0], 100u);
    EXPECT_LE(d[0], 100u + lagBound);
    EXPECT_GE(d[0] + d[1], 200u);
    EXPECT_LE(d[0] + d[1], 200u + lagBound);
    EXPECT_GE(d[0] + d[1] + d[2], 300u);
    EXPECT_LE(d[0] + d[1] + d[2], 300u + lagBound);
    if (lagBound == 0) {
        EXPECT_EQ(d, (std::vector<uint32_t>{100, 100, 100}));
    }
}

TEST_F(Timers, StartThirtyMsAfterATickFiresOnTheThirdTick) {
    tick_ = NowLow() - 30;
    VosTimerTickAt(tick_);  // the last tick was 30 ms ago
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(100, &handle, RecordFiring, &ids_[5], 0, 0), 0u);
    const uint32_t lag = NowLow() - tick_;
    ASSERT_LT(lag, 50u) << "the test thread was held up too long";
    const std::vector<uint32_t> d = Delays();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_GE(d[0], 130u);
    EXPECT_LE(d[0], 100u + lag);
    Tick(50);
    Tick(50);
    EXPECT_TRUE(Fired().empty());
    Tick(50);
    EXPECT_EQ(Fired(), std::vector<int>{5});
}

TEST_F(Timers, StoppingTheHeadKeepsTheNextExpiry) {
    uint32_t first = 0, second = 0;
    ASSERT_EQ(VosTimerStart(100, &first, RecordFiring, &ids_[1], 0, 0), 0u);
    ASSERT_EQ(VosTimerStart(250, &second, RecordFiring, &ids_[2], 0, 0), 0u);
    const std::vector<uint32_t> before = Delays();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(VosTimerStop(first), 0u);
    EXPECT_EQ(Delays(), std::vector<uint32_t>{before[0] + before[1]});
    Tick(before[0] + before[1] - 1);
    EXPECT_TRUE(Fired().empty());
    Tick(1);
    EXPECT_EQ(Fired(), std::vector<int>{2});
}

TEST_F(Timers, StoppingTwiceOrAnUnknownHandleReturnsNotFound) {
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[1], 0, 0), 0u);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(VosTimerStop(handle), 0u);
    EXPECT_EQ(VosTimerStop(handle), uint32_t{eVOS_TMR_NOT_FOUND});
    EXPECT_EQ(VosTimerStop(0), uint32_t{eVOS_TMR_NOT_FOUND});
    EXPECT_EQ(VosTimerStop(0xDEADBEEF), uint32_t{eVOS_TMR_NOT_FOUND});
}

TEST_F(Timers, AStaleHandleDoesNotStopTheTimerThatReusedItsRecord) {
    std::vector<uint32_t> handles(300);
    for (uint32_t& handle : handles) {
        ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[0], 0, 0), 0u);
    }
    uint32_t freeCount = 99, total = 0;
    VosTimerPoolStats(&freeCount, &total);
    ASSERT_EQ(freeCount, 0u);
    const uint32_t stale = handles[17];
    ASSERT_EQ(VosTimerStop(stale), 0u);  // its record is now the only free one
    uint32_t reuser = 0;
    ASSERT_EQ(VosTimerStart(kLongDelay, &reuser, RecordFiring, &ids_[1], 0, 0), 0u);
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 300u);  // the record was reused, not a new one grown
    EXPECT_NE(reuser, stale);
    EXPECT_EQ(VosTimerStop(stale), uint32_t{eVOS_TMR_NOT_FOUND});
    EXPECT_EQ(Delays().size(), 300u);
    EXPECT_EQ(VosTimerStop(reuser), 0u);
}

TEST_F(Timers, PeriodicTimerFiresOncePerPeriod) {
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(1000, &handle, RecordFiring, &ids_[1], 0, 1), 0u);
    std::vector<uint32_t> fireTimes;
    for (uint32_t t = 50; t <= 3500; t += 50) {
        const size_t before = Fired().size();
        Tick(50);
        if (Fired().size() != before) fireTimes.push_back(t);
    }
    ASSERT_EQ(fireTimes.size(), 3u);
    EXPECT_GE(fireTimes[0], 1000u);
    EXPECT_LE(fireTimes[0], 1050u);
    EXPECT_EQ(fireTimes[1] - fireTimes[0], 1000u);
    EXPECT_EQ(fireTimes[2] - fireTimes[1], 1000u);
    EXPECT_EQ(VosTimerStop(handle), 0u);
}

TEST_F(Timers, OneShotFiresOnceAndReturnsItsRecord) {
    uint32_t freeBefore = 0, total = 0;
    VosTimerPoolStats(&freeBefore, &total);
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(30000, &handle, RecordFiring, &ids_[3], 0, 0), 0u);
    uint32_t freeNow = 0;
    VosTimerPoolStats(&freeNow, &total);
    EXPECT_EQ(freeNow, freeBefore - 1);
    for (int i = 0; i < 5; ++i) Tick(5000);
    Tick(4999);
    EXPECT_TRUE(Fired().empty());  // 1 ms short
    for (int i = 0; i < 4; ++i) Tick(5000);
    EXPECT_EQ(Fired(), std::vector<int>{3});
    VosTimerPoolStats(&freeNow, &total);
    EXPECT_EQ(freeNow, freeBefore);
    EXPECT_EQ(VosTimerStop(handle), uint32_t{eVOS_TMR_NOT_FOUND});
}

TEST_F(Timers, PoolGrowsByFiftyAtThe301stAnd351stTimer) {
    uint32_t handle = 0, freeCount = 0, total = 0;
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 300u);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[0], 0, 0), 0u);
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(freeCount, 0u);
    EXPECT_EQ(total, 300u);
    ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[0], 0, 0), 0u);
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 350u);
    EXPECT_EQ(freeCount, 49u);
    for (int i = 0; i < 49; ++i) ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[0], 0, 0), 0u);
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 350u);
    ASSERT_EQ(VosTimerStart(kLongDelay, &handle, RecordFiring, &ids_[0], 0, 0), 0u);
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 400u);
    EXPECT_EQ(Delays().size(), 351u);
}

TEST_F(Timers, ElapsedTimeIsCappedAndAWrapCountsAsOneTick) {
    EXPECT_EQ(VosTimerElapsed(1000, 1050), 50u);
    EXPECT_EQ(VosTimerElapsed(1000, 11000), 5000u);  // a 10 s gap counts as 5 s
    EXPECT_EQ(VosTimerElapsed(1000, 6000), 5000u);
    EXPECT_EQ(VosTimerElapsed(0xFFFFFFF0u, 0x10u), 50u);

    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(6000, &handle, RecordFiring, &ids_[1], 0, 0), 0u);
    const uint32_t stored = Delays().at(0);
    Tick(10000);
    EXPECT_TRUE(Fired().empty());
    EXPECT_EQ(Delays(), std::vector<uint32_t>{stored - 5000});
}

TEST_F(Timers, WithoutCallbackTheArgumentIsPostedOnceToTheQueue) {
    uint32_t unused = 0, queue = 0;
    ASSERT_EQ(OdWrap__QueueCreate(1, &unused), eOD_RET_OK);  // takes id 0
    ASSERT_EQ(OdWrap__QueueCreate(1, &queue), eOD_RET_OK);
    int* message = static_cast<int*>(malloc(sizeof(int)));
    *message = 77;
    uint32_t handle = 0;
    // periodic is asked for, but a timer posting to a non-zero queue id fires once
    ASSERT_EQ(VosTimerStart(100, &handle, nullptr, message, queue, 1), 0u);
    Tick(600);
    EXPECT_TRUE(Delays().empty());
    void* received = nullptr;
    ASSERT_EQ(VosQueueReceive(queue, 1, 0, &received), eOD_RET_OK);
    EXPECT_EQ(received, message);
    free(received);
}

std::atomic<int> gRealFirings{0};

int CountRealFiring(void*) {
    ++gRealFirings;
    return 0;
}

TEST(TimerTask, PeriodicSecondTimerFiresAboutOnceASecond) {
    ASSERT_EQ(VosStart(), eOD_RET_OK);
    const auto start = std::chrono::steady_clock::now();
    uint32_t handle = 0;
    ASSERT_EQ(VosTimerStart(1000, &handle, CountRealFiring, nullptr, 0, 1), 0u);
    const auto deadline = start + std::chrono::seconds(8);
    while (gRealFirings.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(VosTimerStop(handle), 0u);
    EXPECT_EQ(gRealFirings.load(), 2);
    EXPECT_GE(took, 1950);  // two full periods, measured from just before the start
}

}  // namespace
