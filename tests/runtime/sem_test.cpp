// Tests of the counting semaphores: ids, counts, no-wait and timed waits,
// unknown ids, several waiters, a no-wait racing a woken waiter, and
// deletion under a waiter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/od_diag.h"
#include "runtime/odwrap.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Semaphores : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OdWrap__Init(), eOD_RET_OK); }
};

TEST_F(Semaphores, IdsStartAtZeroAndAreNeverReused) {
    uint32_t a = 99, b = 99, c = 99;
    ASSERT_EQ(OdWrap__SemCreate(0, &a), eOD_RET_OK);
    ASSERT_EQ(OdWrap__SemCreate(0, &b), eOD_RET_OK);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(OdWrap__semDeletle(a), eOD_RET_OK);
    ASSERT_EQ(OdWrap__SemCreate(0, &c), eOD_RET_OK);  // takes the freed slot under a new id
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(OdWrap__SemCount(), 2);
    EXPECT_EQ(OdWrap__SemUnits(a), -1);
}

TEST_F(Semaphores, CountTwoGrantsTwoWaitsThenAgainOrTimeout) {
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(2, &id), eOD_RET_OK);
    EXPECT_EQ(OdWrap__SemWait(id, 0), eOD_RET_OK);
    EXPECT_EQ(OdWrap__SemWait(id, -1), eOD_RET_OK);
    EXPECT_EQ(OdWrap__SemWait(id, 0), eOD_RET_AGAIN);

    const auto start = Clock::now();
    EXPECT_EQ(OdWrap__SemWait(id, 100), eOD_RET_TIMEOUT);
    const long long waited = MsSince(start);
    EXPECT_GE(waited, 99);
    EXPECT_LT(waited, 3000);
    EXPECT_EQ(OdWrap__SemUnits(id), 0);
}

TEST_F(Semaphores, UnknownOrDeletedIdsAreReported) {
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(1, &id), eOD_RET_OK);
    ASSERT_EQ(OdWrap__semDeletle(id), eOD_RET_OK);

    testing::internal::CaptureStdout();
    EXPECT_EQ(OdWrap__SemWait(77, 0), eOD_RET_ERROR);
    OdWrap__SemRelease(77);
    EXPECT_EQ(OdWrap__semDeletle(77), eOD_RET_OK);
    EXPECT_EQ(OdWrap__SemWait(id, -1), eOD_RET_ERROR);  // deleted: must not block
    OdWrap__SemRelease(id);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__SemWait(): No such semaphore: S77.\n"
              "OdWrap__SemRelease(): No such semaphore: S77.\n"
              "OdWrap__semDeletle():semid is not exist,semid:0x4d.\n"
              "OdWrap__SemWait(): No such semaphore: S0.\n"
              "OdWrap__SemRelease(): No such semaphore: S0.\n");
    EXPECT_EQ(OdWrap__SemCount(), 0);
}

TEST_F(Semaphores, SeveralReleasesWakeSeveralWaiters) {
    constexpr int kWaiters = 4;
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(0, &id), eOD_RET_OK);
    std::atomic<int> granted{0};
    std::atomic<int> other{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            int32_t r = OdWrap__SemWait(id, 5000);
            (r == eOD_RET_OK ? granted : other)++;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let them all block
    for (int i = 0; i < kWaiters; ++i) OdWrap__SemRelease(id);    // back to back
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(granted.load(), kWaiters);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(OdWrap__SemUnits(id), 0);
}

TEST_F(Semaphores, OneReleaseGrantsExactlyOneOfTwoWaiters) {
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(0, &id), eOD_RET_OK);
    std::atomic<int> granted{0};
    std::atomic<int> timedOut{0};
    auto wait = [&] {
        int32_t r = OdWrap__SemWait(id, 400);
        if (r == eOD_RET_OK) ++granted;
        if (r == eOD_RET_TIMEOUT) ++timedOut;
    };
    std::thread first(wait);
    std::thread second(wait);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    OdWrap__SemRelease(id);
    first.join();
    second.join();
    EXPECT_EQ(granted.load(), 1);
    EXPECT_EQ(timedOut.load(), 1);
    EXPECT_EQ(OdWrap__SemUnits(id), 0);
}

// A blocked waiter is woken by a release, and before it runs again a no-wait
// wait on another thread takes the unit. The woken waiter must go back to
// waiting: one release, one success, whoever wins.
TEST_F(Semaphores, WokenWaiterThatLostTheRaceWaitsAgain) {
    constexpr int kRounds = 2000;
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(0, &id), eOD_RET_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> entered{0};  // the waiter's rounds, counted from 1
    std::atomic<int> left{0};
    std::atomic<int32_t> waiterResult{eOD_RET_OK};
    std::thread waiter([&] {
        for (int round = 1; !stop.load(); ++round) {
            entered = round;
            waiterResult = OdWrap__SemWait(id, 5000);
            left = round;
            if (waiterResult.load() != eOD_RET_OK) return;
        }
    });
    auto waitUntil = [](auto done, std::chrono::microseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(20));
        return done();
    };
    int rounds = 0, releases = 0, successes = 0, bothWon = 0, negative = 0;
    bool stuck = false;
    const auto start = Clock::now();
    for (; rounds < kRounds && MsSince(start) < 20000 && !stuck; ++rounds) {
        const int round = rounds + 1;
        stuck = !waitUntil([&] { return entered.load() == round; }, std::chrono::seconds(5));
        if (stuck) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // let it block
        OdWrap__SemRelease(id);
        ++releases;
        if (OdWrap__SemWait(id, 0) == eOD_RET_OK) {
            ++successes;
            // The waiter must still be waiting: if it returns now, it took a
            // unit nobody released.
            if (waitUntil([&] { return left.load() == round; }, std::chrono::microseconds(500))) {
                ++bothWon;
            } else {
                OdWrap__SemRelease(id);
                ++releases;
            }
        }
        stuck = !waitUntil([&] { return left.load() == round; }, std::chrono::seconds(5)) ||
                waiterResult.load() != eOD_RET_OK;
        successes += !stuck;
        negative += OdWrap__SemUnits(id) < 0;
    }
    stop = true;
    OdWrap__SemRelease(id);  // ends the waiter's last wait, if it started one
    waiter.join();
    EXPECT_FALSE(stuck);
    EXPECT_GE(rounds, 100);
    EXPECT_EQ(bothWon, 0) << "of " << rounds << " rounds";
    EXPECT_EQ(negative, 0);
    EXPECT_EQ(successes, releases);
}

TEST_F(Semaphores, DeletingWakesABlockedWaiterWithAnError) {
    uint32_t id = 0;
    ASSERT_EQ(OdWrap__SemCreate(0, &id), eOD_RET_OK);
    std::atomic<int32_t> result{-1};
    const auto start = Clock::now();
    testing::internal::CaptureStdout();
    std::thread waiter([&] { result = OdWrap__SemWait(id, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(OdWrap__semDeletle(id), eOD_RET_OK);
    waiter.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.load(), eOD_RET_ERROR);
    EXPECT_LT(MsSince(start), 4000);
    EXPECT_EQ(out, "OdWrap__SemWait(): No such semaphore: S0.\n");
}

}  // namespace
