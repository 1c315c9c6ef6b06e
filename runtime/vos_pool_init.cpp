// Set-up of the buffer pool: checks of the configuration, rounding of the
// buffer sizes, limits and water marks, and the first block of every chain.
// Owns the pool state.
#include <algorithm>

#include "runtime/od_log.h"
#include "runtime/vos_pool.h"
#include "runtime/vos_pool_internal.h"

tFbmPool gFbmPool{};

namespace {

constexpr uint32_t kMaxBufSize = 0xFFFC;  // largest 16-bit size that is a multiple of 4

// Rounds every chain's size up to a multiple of 4, writes it back and sums the
// bytes the chains need; false for a size that cannot be rounded in 16 bits.
bool RoundSizes(tFbmPoolConf* conf, uint64_t* needed) {
    *needed = 0;
    for (uint32_t c = 0; c < conf->chainCount; ++c) {
        tFbmChainConf& chain = conf->chains[c];
        if (chain.bufSize > kMaxBufSize) {
            OdWrap__Log(1, "VosPoolInit(): Buffer size too big: P%d, C%d, S%d.\n", conf->poolId,
                        static_cast<int>(c), chain.bufSize);
            return false;
        }
        const uint16_t rounded = static_cast<uint16_t>((chain.bufSize + 3u) & ~3u);
        if (rounded != chain.bufSize) {
            OdWrap__Log(0,
                        "VosPoolInit(): Buffer size rounded up for alignment:\n"
                        "  P%d, C%d, specified(%d), rounded up to(%d).\n",
                        conf->poolId, static_cast<int>(c), chain.bufSize, rounded);
            chain.bufSize = rounded;
        }
        *needed += static_cast<uint64_t>(chain.bufCount) * (chain.bufSize + kFbmBcbSize);
    }
    return true;
}

uint32_t PercentOf(uint32_t bytes, uint8_t percent) {
    return static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(bytes) * percent / 100, UINT32_MAX));
}

void SetLimits(const tFbmPoolConf& conf, uint32_t needed, tFbmPool* pool) {
    pool->flags = conf.flags;
    if (FbmIsDynamic(conf.flags)) {
        pool->limit = conf.bufPoolSize;
        if (conf.bufPoolSize < needed) {
            OdWrap__Log(1, "VosPoolInit(): bufPoolSize smaller than needed:\n  P%d, specified(%d), needed(%d).\n",
                        conf.poolId, static_cast<int>(conf.bufPoolSize), static_cast<int>(needed));
            pool->limit = needed;
        }
        return;
    }
    pool->limit = needed;
    pool->callback = conf.callback;
    if (pool->callback != nullptr) {
        pool->level = needed;  // free bytes
        pool->lowMark = PercentOf(needed, conf.lowPercent);
        pool->highMark = PercentOf(needed, conf.highPercent);
    }
}

// A failed set-up gives back the chains made so far; at init each chain's
// first free buffer is the start of its block.
void ReleaseChains(tFbmPool* pool, uint32_t count) {
    for (uint32_t c = 0; c < count; ++c) {
        if (pool->chains[c].first != nullptr) OdWrap__Free(pool->chains[c].first);
    }
    *pool = tFbmPool{};
}

int32_t SetUpChainsLocked(const tFbmPoolConf& conf) {
    for (uint32_t c = 0; c < conf.chainCount; ++c) {
        tFbmBccb& chain = gFbmPool.chains[c];
        chain.bufSize = conf.chains[c].bufSize;
        chain.bufCount = conf.chains[c].bufCount;
        int32_t result = SetUpBufChain(conf.poolId, c, &gFbmPool, &chain);
        if (result != 0) {
            OdWrap__Log(1, "VosPoolInit(): SetUpBufChain() failed: P%d, C%d.\n", conf.poolId,
                        static_cast<int>(c));
            ReleaseChains(&gFbmPool, c);
            return result;
        }
    }
    return 0;
}

int32_t InitLocked(tFbmPoolConf* conf) {
    if (gFbmPool.chainCount != 0) {
        OdWrap__Log(1, "VosPoolInit(): Re-initialization of buffer pool: P%d.\n", conf->poolId);
        return 3;
    }
    uint64_t needed = 0;
    if (!RoundSizes(conf, &needed)) return 3;
    if (needed > UINT32_MAX) {
        OdWrap__Log(1, "VosPoolInit(): Pool too big: P%d, needed(%llu).\n", conf->poolId,
                    static_cast<unsigned long long>(needed));
        return 3;
    }
    gFbmPool = tFbmPool{};
    SetLimits(*conf, static_cast<uint32_t>(needed), &gFbmPool);
    int32_t result = SetUpChainsLocked(*conf);
    if (result != 0) return result;
    gFbmPool.chainCount = conf->chainCount;  // the pool is now initialised
    gFbmPool.largestSize = gFbmPool.chains[conf->chainCount - 1u].bufSize;
    return 0;
}

}  // namespace

int32_t VosPoolInit(tFbmPoolConf* poolConf) {
    if (poolConf == nullptr) {
        OdWrap__Log(1, "VosPoolInit(): NULL poolConfP.\n");
        return 3;
    }
    poolConf->flags |= kFbmFlagGlobalLock;
    if (poolConf->poolId >= kFbmMaxPools) {
        OdWrap__Log(1, "VosPoolInit(): Invalid buffer pool id: P%d.\n", poolConf->poolId);
        return 3;
    }
    if (poolConf->chainCount == 0) {
        OdWrap__Log(1, "VosPoolInit(): Zero buffer chain count: P%d.\n", poolConf->poolId);
        return 3;
    }
    if (poolConf->chainCount > kFbmMaxChains) {  // the chain table has ten places
        OdWrap__Log(1, "VosPoolInit(): Too many buffer chains: P%d, CC%d.\n", poolConf->poolId,
                    poolConf->chainCount);
        return 3;
    }
    int32_t result = 0;
    uint32_t limit = 0;
    {
        FbmPoolLock lock;
        result = InitLocked(poolConf);
        limit = gFbmPool.limit;
    }
    if (result == 0) {
        int buffers = 0;
        for (uint32_t c = 0; c < poolConf->chainCount; ++c) buffers += poolConf->chains[c].bufCount;
        VosLog(kVosModuleRuntime, kFbmTraceSetUp, "SBI: P%d, C%d, CC%d, F%X, S%d.\n", poolConf->poolId,
               poolConf->chainCount, buffers, poolConf->flags, static_cast<int>(limit));
    }
    return result;
}

void VosPoolSnapshot(tFbmPool* out) {
    if (out == nullptr) return;
    FbmPoolLock lock;
    *out = gFbmPool;
}
