// Tests of start-up: the start-up semaphores, the timer task's entry, the
// "SVCInit." trace, and the process-wide VosIntLock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/od_diag.h"
#include "runtime/od_internal.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

TEST(Start, CreatesStartUpSemaphoresAndTheTimerTask) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(VosStart(), eOD_RET_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the trace needs the module mask
    EXPECT_EQ(SleepSemId, 0u);
    EXPECT_EQ(tmbTimerSm, 1u);
    EXPECT_EQ(EcbemId, 2u);
    EXPECT_EQ(OdWrap__SemUnits(SleepSemId), 0);
    EXPECT_EQ(OdWrap__SemUnits(tmbTimerSm), 1);
    EXPECT_EQ(OdWrap__SemUnits(EcbemId), 1);
    uint32_t next = 0;
    ASSERT_EQ(OdWrap__SemCreate(0, &next), eOD_RET_OK);
    EXPECT_EQ(next, 3u);

    ASSERT_EQ(OdWrap__TaskCount(), 1);
    EXPECT_NE(gVosTimerTaskId, 0u);
    EXPECT_EQ(OdWrap__TaskAt(0), gVosTimerTaskId);
    EXPECT_EQ(OdWrap__TaskPriorityAt(0), 3);  // class 0
    uint32_t freeCount = 0, total = 0;
    VosTimerPoolStats(&freeCount, &total);
    EXPECT_EQ(total, 300u);
}

TEST(Start, TracesSvcInitWhenTheRuntimeMaskIsSet) {
    VosLogSetMask(kVosModuleRuntime, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_init(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SVCInit.\n\n");
}

TEST(Start, IntLockExcludesOtherTasksUntilReleased) {
    ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
    int32_t level = -1;
    EXPECT_EQ(VosIntLock(1, &level), 0);
    EXPECT_EQ(level, 0);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        int32_t otherLevel = -1;
        VosIntLock(1, &otherLevel);
        entered = true;
        VosIntLock(0, &otherLevel);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    EXPECT_EQ(VosIntLock(0, &level), 0);
    EXPECT_EQ(level, 7);
    other.join();
    EXPECT_TRUE(entered.load());
}

}  // namespace
