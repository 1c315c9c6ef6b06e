// Tests of the two loggers: threshold, module masks, the "%t" time prefix,
// and the line limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

// Formats given at run time: "%t" is the logger's own prefix, not printf's.
const char* Runtime(const char* format) { return format; }

TEST(Log, ThresholdDropsLevelOneAndPrintsLevelTwo) {
    EXPECT_EQ(OdWrap__LogThreshold(), 2u);
    testing::internal::CaptureStdout();
    OdWrap__Log(1, "dropped\n");
    OdWrap__Log(2, "MutexLock(): pthread_mutex_lock() failed.\n");
    OdWrap__Log(0xFFFFFFFFu, "unsigned %d", 5);  // compared unsigned: the highest level prints
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MutexLock(): pthread_mutex_lock() failed.\n\nunsigned 5\n");

    OdWrap__SetLogThreshold(3);
    testing::internal::CaptureStdout();
    OdWrap__Log(2, "now dropped");
    OS_ERROR(9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Log, ErrorHelpersUseTheirLevels) {
    testing::internal::CaptureStdout();
    OS_ERROR(7);
    OS_LOG(3, "hidden");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OS_ERROR: (err=7)\n\n");
    OdWrap__SetLogThreshold(1);
    testing::internal::CaptureStdout();
    OS_LOG(3, "disk");
    OS_LOG(0, "plain");
    OS_LOG(0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OS_LOG: (err=3) disk\nOS_LOG: plain\nOS_LOG: \n");
}

TEST(Log, TimePrefixShowsMillisecondsSinceStartUp) {
    ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
    VosSleepMs(250);
    testing::internal::CaptureStdout();
    OdWrap__Log(2, Runtime("%tabc"));
    const std::string out = testing::internal::GetCapturedStdout();
    unsigned high = 99, low = 0;
    char rest[8] = {};
    ASSERT_EQ(sscanf(out.c_str(), "TH%uL%u:%7s", &high, &low, rest), 3) << out;
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(std::string(rest), "abc");
    EXPECT_EQ(out.substr(out.size() - 5), ":abc\n");
    const long ms = static_cast<long>(low);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
}

TEST(Log, LongLineIsCutAt2304Characters) {
    const std::string text(3000, 'x');
    testing::internal::CaptureStdout();
    OdWrap__Log(2, "%s", text.c_str());
    OdWrap__Log(2, Runtime("%t%s"), text.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    const size_t firstEnd = out.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    EXPECT_EQ(out.substr(0, firstEnd), text.substr(0, kOdLogLineMax));
    const std::string second = out.substr(firstEnd + 1);
    EXPECT_EQ(second.size(), kOdLogLineMax + 1u);  // prefix and text together, then the line end
    EXPECT_EQ(second.rfind("TH0L", 0), 0u);
}

TEST(Log, ModuleMaskGatesVosLog) {
    testing::internal::CaptureStdout();
    VosLog(kVosModuleRuntime, 1, "SVCInit.\n");
    VosLogSetMask(kVosModuleRuntime, 1);
    VosLog(kVosModuleRuntime, 16, "per-buffer trace\n");  // no common bit
    VosLog(kVosModuleRuntime, 1, "SVCInit.\n");
    VosLog(13, 1, "other module\n");
    VosLog(kVosLogModules + 8, 1, "no such module\n");
    VosLogSetMask(kVosLogModules + 8, 0xFFFFFFFF);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SVCInit.\n\n");
}

}  // namespace
