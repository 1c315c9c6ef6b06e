// Tests of the buffer pool: configuration checks and rounding, chain choice
// and waste, double frees, dynamic growth and large buffers, water marks,
// buffer numbers and the control block's byte layout, concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos_pool.h"

namespace {

struct ChainSpec {
    uint16_t size;
    uint16_t count;
};

tFbmPoolConf MakeConf(std::initializer_list<ChainSpec> chains, uint32_t flags = 0) {
    tFbmPoolConf conf{};
    conf.flags = flags;
    for (const ChainSpec& chain : chains) {
        conf.chains[conf.chainCount++] = {chain.size, chain.count};
    }
    return conf;
}

tFbmPool Snapshot() {
    tFbmPool pool{};
    VosPoolSnapshot(&pool);
    return pool;
}

uint32_t ChainOf(void* buffer) { return (static_cast<uint32_t>(SvcPoolGetBufNo(buffer)) >> 16) & 0xFF; }

class Pool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OdWrap__Init(), eOD_RET_OK); }
    // Shows every level; the threshold is process-wide, and each case has its own process.
    void ShowAllLevels() { OdWrap__SetLogThreshold(0); }
};

TEST_F(Pool, BadConfigurationsAreRefused) {
    ShowAllLevels();
    tFbmPoolConf wrongId = MakeConf({{32, 1}});
    wrongId.poolId = 1;
    tFbmPoolConf noChains = MakeConf({});
    tFbmPoolConf tooMany = MakeConf({{4, 1}, {8, 1}, {12, 1}, {16, 1}, {20, 1}, {24, 1}, {28, 1}, {32, 1}, {36, 1}, {40, 1}});
    tooMany.chainCount = 11;
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosPoolInit(nullptr), 3);
    EXPECT_EQ(VosPoolInit(&wrongId), 3);
    EXPECT_EQ(VosPoolInit(&noChains), 3);
    EXPECT_EQ(VosPoolInit(&tooMany), 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("VosPoolInit(): NULL poolConfP.\n"), std::string::npos);
    EXPECT_NE(out.find("VosPoolInit(): Invalid buffer pool id: P1.\n"), std::string::npos);
    EXPECT_NE(out.find("VosPoolInit(): Zero buffer chain count: P0.\n"), std::string::npos);
    EXPECT_EQ(Snapshot().chainCount, 0);

    tFbmPoolConf good = MakeConf({{32, 2}});
    ASSERT_EQ(VosPoolInit(&good), 0);
    EXPECT_EQ(good.flags & kFbmFlagGlobalLock, kFbmFlagGlobalLock);
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosPoolInit(&good), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "VosPoolInit(): Re-initialization of buffer pool: P0.\n\n");
}

TEST_F(Pool, OddSizeIsRoundedUpAndWrittenBack) {
    ShowAllLevels();
    tFbmPoolConf conf = MakeConf({{30, 4}, {64, 1}});
    testing::internal::CaptureStdout();
    ASSERT_EQ(VosPoolInit(&conf), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "VosPoolInit(): Buffer size rounded up for alignment:\n"
              "  P0, C0, specified(30), rounded up to(32).\n\n");
    EXPECT_EQ(conf.chains[0].bufSize, 32);
    const tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.chains[0].bufSize, 32);
    EXPECT_EQ(pool.limit, 4u * (32 + 16) + 1u * (64 + 16));
    EXPECT_EQ(pool.largestSize, 64);
}

TEST_F(Pool, RequestsGoToTheFirstFittingChainWithAFreeBuffer) {
    tFbmPoolConf conf = MakeConf({{32, 1}, {64, 2}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    void* a = VosAlloc(0, 32);  // exactly the chain's size
    void* b = VosAlloc(0, 10);  // the small chain is empty: served larger, with waste
    void* c = VosAlloc(0, 33);  // one byte more than the small chain
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ChainOf(a), 0u);
    EXPECT_EQ(ChainOf(b), 1u);
    EXPECT_EQ(ChainOf(c), 1u);
    const tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.chains[0].waste, 0u);
    EXPECT_EQ(pool.chains[1].waste, 54u + 31u);
    EXPECT_EQ(pool.chains[1].allocations, 2u);
    EXPECT_EQ(VosAlloc(0, 10), nullptr);   // everything taken
    EXPECT_EQ(VosAlloc(0, 100), nullptr);  // static pool: nothing above the largest size
    VosFree(a);
    VosFree(b);
    VosFree(c);
}

TEST_F(Pool, SecondFreeIsRefusedAndChangesNothing) {
    ShowAllLevels();
    tFbmPoolConf conf = MakeConf({{16, 3}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    void* buffer = VosAlloc(0, 16);
    ASSERT_NE(buffer, nullptr);
    VosFree(buffer);
    const tFbmPool before = Snapshot();
    testing::internal::CaptureStdout();
    VosFree(buffer);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("VosFree(): Buffer free twice: BP"), std::string::npos);
    EXPECT_NE(out.find(", N0, S0.\n"), std::string::npos);
    EXPECT_EQ(Snapshot().chains[0].freeCount, before.chains[0].freeCount);
    // The free list holds each buffer once: three distinct buffers, then none.
    std::set<void*> handed;
    for (int i = 0; i < 3; ++i) handed.insert(VosAlloc(0, 16));
    EXPECT_EQ(handed.size(), 3u);
    EXPECT_EQ(handed.count(nullptr), 0u);
    EXPECT_EQ(VosAlloc(0, 16), nullptr);
    for (void* taken : handed) VosFree(taken);
}

TEST_F(Pool, DynamicChainOf400GrowsByForty) {
    tFbmPoolConf conf = MakeConf({{400, 1}}, kFbmFlagDynamic);
    conf.bufPoolSize = 1 << 20;
    ASSERT_EQ(VosPoolInit(&conf), 0);
    void* first = VosAlloc(0, 400);
    void* second = VosAlloc(0, 400);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(SvcPoolGetBufNo(second), 1);  // numbered on from the chain's count
    const tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.chains[0].bufCount, 41);
    EXPECT_EQ(pool.chains[0].freeCount, 39);
    EXPECT_EQ(pool.level, 41u * 416);
    VosFree(first);
    VosFree(second);
}

TEST_F(Pool, DynamicPoolServesLargeRequestsFromTheHeap) {
    tFbmPoolConf conf = MakeConf({{64, 2}}, kFbmFlagDynamic);
    conf.bufPoolSize = 1 << 20;
    ASSERT_EQ(VosPoolInit(&conf), 0);
    const uint32_t levelAtStart = Snapshot().level;
    void* a = VosAlloc(0, 100);
    void* b = VosAlloc(0, 1000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SvcPoolGetBufNo(a), 0x00FF0000);
    EXPECT_EQ(SvcPoolGetBufNo(b), 0x00FF0001);
    memset(b, 0xA5, 1000);  // the whole requested size is usable
    tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.largeBytes, 116u + 1016u);
    EXPECT_EQ(pool.level, levelAtStart + 116u + 1016u);
    VosFree(b);
    pool = Snapshot();
    EXPECT_EQ(pool.largeBytes, 116u);
    EXPECT_EQ(pool.largePeak, 116u + 1016u);
    VosFree(a);
    EXPECT_EQ(Snapshot().level, levelAtStart);
}

TEST_F(Pool, DynamicPoolStopsGrowingPastItsLimit) {
    ShowAllLevels();
    tFbmPoolConf conf = MakeConf({{16, 1}}, kFbmFlagDynamic);
    conf.bufPoolSize = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(VosPoolInit(&conf), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "VosPoolInit(): bufPoolSize smaller than needed:\n  P0, specified(0), needed(32).\n\n");
    EXPECT_EQ(Snapshot().limit, 32u);
    std::vector<void*> taken;
    for (int i = 0; i < 51; ++i) {  // the initial buffer and one expansion of 50
        taken.push_back(VosAlloc(0, 16));
        ASSERT_NE(taken.back(), nullptr) << i;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosAlloc(0, 16), nullptr);
    EXPECT_EQ(VosAlloc(0, 200), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "VosAlloc(): No buffers: P0, TN1,  S16.\n\n"
              "VosAlloc(): Cannot create pool chain: P0, S200.\n\n");
    for (void* buffer : taken) VosFree(buffer);
}

TEST_F(Pool, ChainTooBigToExpandIsReportedAtLevelTwo) {
    tFbmPoolConf conf = MakeConf({{17004, 0}}, kFbmFlagDynamic);
    conf.bufPoolSize = 1 << 20;
    ASSERT_EQ(VosPoolInit(&conf), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosAlloc(0, 100), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ExpandBufChain(): Chain's buffer size is too big: P0, C0, S17004.\n\n");
}

std::vector<uint32_t> gEvents;

void RecordEvent(uint32_t poolId, uint32_t event) {
    EXPECT_EQ(poolId, 0u);
    gEvents.push_back(event);
}

TEST_F(Pool, StaticWaterMarksFireOncePerCrossing) {
    tFbmPoolConf conf = MakeConf({{64, 100}});
    conf.callback = RecordEvent;
    conf.lowPercent = 20;
    conf.highPercent = 50;
    ASSERT_EQ(VosPoolInit(&conf), 0);
    tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.limit, 8000u);
    EXPECT_EQ(pool.lowMark, 1600u);
    EXPECT_EQ(pool.highMark, 4000u);

    std::vector<void*> taken;
    for (int i = 0; i < 99; ++i) taken.push_back(VosAlloc(0, 64));
    EXPECT_TRUE(gEvents.empty());
    taken.push_back(VosAlloc(0, 64));  // the 100th: level 1600
    EXPECT_EQ(gEvents, std::vector<uint32_t>{kFbmEventLowWater});
    EXPECT_EQ(Snapshot().level, 1600u);

    while (taken.size() > 63) {
        VosFree(taken.back());
        taken.pop_back();
    }
    EXPECT_EQ(gEvents.size(), 1u);  // 63 in use: level 3968, below the high mark
    VosFree(taken.back());
    taken.pop_back();
    EXPECT_EQ(gEvents, (std::vector<uint32_t>{kFbmEventLowWater, kFbmEventHighWater}));

    while (taken.size() < 100) taken.push_back(VosAlloc(0, 64));  // the cycle repeats
    EXPECT_EQ(gEvents.size(), 3u);
    EXPECT_EQ(gEvents.back(), kFbmEventLowWater);
    for (void* buffer : taken) VosFree(buffer);
}

TEST_F(Pool, BufferNumberNamesPoolChainAndPosition) {
    tFbmPoolConf conf = MakeConf({{16, 1}, {32, 1}, {64, 6}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    std::vector<void*> taken;
    for (int i = 0; i < 8; ++i) taken.push_back(VosAlloc(0, 64));
    EXPECT_EQ(SvcPoolGetBufNo(taken[5]), 0x00020005);
    EXPECT_EQ(taken[6], nullptr);
    for (void* buffer : taken) VosFree(buffer);
}

TEST_F(Pool, ControlBlockLayout) {
    EXPECT_EQ(sizeof(tFbmBcb), 16u);
    EXPECT_EQ(offsetof(tFbmBcb, poolId), sizeof(void*));
    EXPECT_EQ(offsetof(tFbmBcb, chain), sizeof(void*) + 1);
    EXPECT_EQ(offsetof(tFbmBcb, number), sizeof(void*) + 2);
    EXPECT_EQ(offsetof(tFbmBcb, size), sizeof(void*) + 4);
    EXPECT_EQ(offsetof(tFbmBcb, inUse), sizeof(void*) == 8 ? 14u : 12u);

    tFbmPoolConf conf = MakeConf({{16, 1}, {24, 4}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    void* buffers[4] = {};
    for (void*& buffer : buffers) buffer = VosAlloc(0, 20);
    const unsigned char* bcb = static_cast<unsigned char*>(buffers[3]) - 16;
    void* next = nullptr;
    memcpy(&next, bcb, sizeof(next));
    EXPECT_EQ(next, nullptr);                     // allocated: no next
    EXPECT_EQ(bcb[sizeof(void*)], 0);             // pool id
    EXPECT_EQ(bcb[sizeof(void*) + 1], 1);         // chain index
    EXPECT_EQ(bcb[sizeof(void*) + 2], 3);         // number, little-endian
    EXPECT_EQ(bcb[sizeof(void*) + 3], 0);
    EXPECT_EQ(bcb[sizeof(void*) + 4], 20);        // requested size
    EXPECT_EQ(bcb[sizeof(void*) == 8 ? 14 : 12], 1);  // in use
    // Buffers of a chain lie back to back, each behind its control block.
    EXPECT_EQ(static_cast<unsigned char*>(buffers[1]) - static_cast<unsigned char*>(buffers[0]), 24 + 16);
    for (void* buffer : buffers) VosFree(buffer);
}

TEST_F(Pool, BadBuffersAndArgumentsAreRefused) {
    ShowAllLevels();
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosAlloc(0, 16), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "VosAlloc(): Uninitialized buffer pool: P0.\n\n");

    tFbmPoolConf conf = MakeConf({{16, 2}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    alignas(8) unsigned char fake[32] = {};
    fake[sizeof(void*) + 1] = 12;  // a chain index no pool has
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosAlloc(1, 16), nullptr);
    EXPECT_EQ(VosAlloc(0, 0), nullptr);
    EXPECT_EQ(SvcPoolGetBufNo(nullptr), -1);
    EXPECT_EQ(SvcPoolGetBufNo(fake + 16), -1);
    VosFree(fake + 16);
    VosFree(nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("VosAlloc(): Invalid buffer pool id: P1.\n"), std::string::npos);
    EXPECT_NE(out.find("VosAlloc(): Invalid buffer size: S0.\n"), std::string::npos);
    EXPECT_NE(out.find("SvcPoolGetBufNo(): NULL buffer.\n"), std::string::npos);
    EXPECT_NE(out.find("SvcPoolGetBufNo(): Invalid BCB: BP"), std::string::npos);
    EXPECT_NE(out.find("VosFree(): Invalid buffer number: BP"), std::string::npos);
    EXPECT_EQ(Snapshot().chains[0].freeCount, 2);
}

TEST_F(Pool, ConcurrentTasksNeverShareABuffer) {
    tFbmPoolConf conf = MakeConf({{32, 8}});
    ASSERT_EQ(VosPoolInit(&conf), 0);
    std::atomic<int> clashes{0};
    std::atomic<int> served{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                auto* buffer = static_cast<int*>(VosAlloc(0, 32));
                if (buffer == nullptr) continue;
                ++served;
                buffer[0] = w;
                buffer[1] = i;
                std::this_thread::yield();
                if (buffer[0] != w || buffer[1] != i) ++clashes;
                VosFree(buffer);
            }
        });
    }
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_GT(served.load(), 0);
    const tFbmPool pool = Snapshot();
    EXPECT_EQ(pool.chains[0].freeCount, 8);
    EXPECT_EQ(pool.chains[0].allocations, static_cast<uint32_t>(served.load()));
}

}  // namespace
