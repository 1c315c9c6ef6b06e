// Tests of the 64-bit word-pair arithmetic and the millisecond clock built on it.
#include <gtest/gtest.h>

#include <string>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kMax = 0xFFFFFFFFu;

bool Equal(Uint64 a, Uint64 b) { return a.high == b.high && a.low == b.low; }

TEST(Uint64, AddCarriesIntoTheHighWordAndReportsOverflow) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Add({0, kMax}, {0, 1}), {1, 0}));
    EXPECT_TRUE(Equal(Uint64Add({3, 0x80000000u}, {4, 0x80000000u}), {8, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Add({kMax, kMax}, {0, 1}), {0, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Uint64Add(): Overflow: H42949672954294967295 + H0L1.\n");
}

TEST(Uint64, MultiplyCarriesAndReportsOverflow) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Multiply({0, 86400}, 1000), {0, 86400000}));
    EXPECT_TRUE(Equal(Uint64Multiply({0, kMax}, 2), {1, kMax - 1}));
    EXPECT_TRUE(Equal(Uint64Multiply({0x7FFFFFFFu, kMax}, 2), {kMax, kMax - 1}));
    EXPECT_TRUE(Equal(Uint64Multiply({5, 5}, 0), {0, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Multiply({65536, 0}, 65536), {0, 0}));
    EXPECT_TRUE(Equal(Uint64Multiply({0x80000000u, 1}, 2), {0, 2}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Uint64Multiply(): Overflow: H65536L0 * M65536.\n"
              "Uint64Multiply(): Overflow: H2147483648L1 * M2.\n");
}

TEST(Uint64, DivideIsExactForSmallAndLargeDivisors) {
    EXPECT_TRUE(Equal(Uint64Divide({1, 0}, 2), {0, 0x80000000u}));
    EXPECT_TRUE(Equal(Uint64Divide({1, 0}, 65536), {0, 65536}));
    EXPECT_TRUE(Equal(Uint64Divide({kMax, kMax}, 1), {kMax, kMax}));
    EXPECT_TRUE(Equal(Uint64Divide({0, 7}, 8), {0, 0}));
    const uint64_t a = 0x123456789ABCDEF0ull;
    for (uint32_t d : {3u, 65535u, 65536u, 0x10001u, 1000000007u, kMax}) {
        const Uint64 q = Uint64Divide({static_cast<uint32_t>(a >> 32), static_cast<uint32_t>(a)}, d);
        EXPECT_EQ((static_cast<uint64_t>(q.high) << 32) | q.low, a / d) << "divisor " << d;
    }
}

TEST(Uint64, DivideByZeroGivesZeroWithALevelOneNote) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Divide({1, 0}, 0), {0, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    OdWrap__SetLogThreshold(1);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Equal(Uint64Divide({9, 9}, 0), {0, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Uint64Divide(): Divide by zero.\n\n");
}

TEST(Clock, CountsMillisecondsSinceStartUpWithoutGoingBack) {
    ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
    VosSleepMs(200);
    Uint64 now{};
    OdWrap__TimeGetMs(&now);
    EXPECT_EQ(now.high, 0u);
    EXPECT_GE(now.low, 200u);
    EXPECT_LT(now.low, 3000u);
    Uint64 previous = now;
    for (int i = 0; i < 2000; ++i) {
        OdWrap__TimeGetMs(&now);
        ASSERT_GE(now.low, previous.low);
        previous = now;
    }
}

}  // namespace
