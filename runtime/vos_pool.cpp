// Buffer pool allocation from the first chain that fits (or the heap, in a
// dynamic pool), freeing with control-block checks, and the water marks of a
// static pool. Pool state changes under the runtime's global mutex; heap
// allocation of large buffers, callbacks and traces run outside it.
#include <algorithm>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos_pool.h"
#include "runtime/vos_pool_internal.h"

namespace {

void* AllocLarge(uint32_t poolId, uint16_t size, uint32_t flags) {
    if (!FbmIsDynamic(flags)) {
        OdWrap__Log(1, "VosAlloc(): Requested size buffer not available: P%d, S%d.\n",
                    static_cast<int>(poolId), size);
        return nullptr;
    }
    bool overLimit = false;
    {
        FbmPoolLock lock;
        overLimit = gFbmPool.level > gFbmPool.limit;
    }
    if (overLimit) {
        OdWrap__Log(1, "VosAlloc(): Cannot create pool chain: P%d, S%d.\n", static_cast<int>(poolId), size);
        return nullptr;
    }
    const uint32_t bytes = size + kFbmBcbSize;
    void* bcb = OdWrap__Alloc(bytes);
    if (bcb == nullptr) {
        OdWrap__Log(1, "VosAlloc(): tFbmBcb allocation failure: P%d.\n", static_cast<int>(poolId));
        return nullptr;
    }
    tFbmBcb header{};
    header.poolId = static_cast<uint8_t>(poolId);
    header.chain = kFbmLargeChain;
    header.size = size;
    header.inUse = 1;
    {
        FbmPoolLock lock;
        header.number = gFbmPool.largeCounter++;
        gFbmPool.largeBytes += bytes;
        gFbmPool.largePeak = std::max(gFbmPool.largePeak, gFbmPool.largeBytes);
        gFbmPool.level += bytes;
    }
    StoreBcb(bcb, header);
    void* buffer = BufferOfBcb(bcb);
    VosLog(kVosModuleRuntime, kFbmTraceBuffers, "SBA: BP%p, T%d, N%X, S%d.\n", buffer,
           static_cast<int>(OdWrap__TaskSelf()), static_cast<unsigned>(BufferNumber(header)), size);
    return buffer;
}

struct Pick {
    int32_t chain;  // -1: no chain can serve
    bool expansionFailed;
};

// The first chain whose buffers fit and that has (or, dynamic, can get) a free buffer.
Pick PickChainLocked(uint32_t poolId, uint16_t size) {
    for (uint32_t c = 0; c < gFbmPool.chainCount; ++c) {
        tFbmBccb& chain = gFbmPool.chains[c];
        if (chain.bufSize < size) continue;
        if (chain.freeCount != 0) return {static_cast<int32_t>(c), false};
        if (!FbmIsDynamic(gFbmPool.flags)) continue;
        if (gFbmPool.level <= gFbmPool.limit) {
            bool grown = ExpandBufChain(poolId, c, &gFbmPool, &chain) == 0;
            return {static_cast<int32_t>(c), !grown};
        }
        VosLog(kVosModuleRuntime, kFbmTraceSetUp, "SBA: Cross the limit: P%d, C%d, BPS%d, CPS%d.\n",
               static_cast<int>(poolId), static_cast<int>(c), static_cast<int>(gFbmPool.limit),
               static_cast<int>(gFbmPool.level));
    }
    return {-1, false};
}

struct Taken {
    uint8_t* bcb;
    bool lowWaterDue;
};

// Unlinks the chain's first free buffer; null (state unchanged) if the chain
// is inconsistent.
Taken TakeFirstLocked(uint32_t poolId, uint32_t c, uint16_t size) {
    tFbmBccb& chain = gFbmPool.chains[c];
    uint8_t* bcb = chain.first;
    if (bcb == nullptr) {
        OdWrap__Log(1, "VosAlloc(): Non-zero free count, but NULL bccbP->first: P%d, C%d, F%d.\n",
                    static_cast<int>(poolId), static_cast<int>(c), chain.freeCount);
        return {nullptr, false};
    }
    const tFbmBcb header = LoadBcb(bcb);
    if (header.next == nullptr && chain.freeCount != 1) {
        OdWrap__Log(1, "VosAlloc(): NULL bcbP->next but non-zero free count: P%d, C%d, F%d.\n",
                    static_cast<int>(poolId), static_cast<int>(c), chain.freeCount);
        return {nullptr, false};
    }
    --chain.freeCount;
    chain.first = static_cast<uint8_t*>(header.next);
    if (chain.first == nullptr) chain.last = nullptr;
    ++chain.allocations;
    chain.waste += chain.bufSize - size;
    bool due = false;
    if (gFbmPool.callback != nullptr) {
        gFbmPool.level -= std::min<uint32_t>(gFbmPool.level, chain.bufSize);
        if ((gFbmPool.flags & kFbmFlagLowFired) == 0 && gFbmPool.level <= gFbmPool.lowMark) {
            gFbmPool.flags |= kFbmFlagLowFired;
            due = true;
        }
    }
    return {bcb, due};
}

// Finishes an allocation outside the lock: marks the buffer in use and fires
// the low-water callback if this allocation reached the mark.
void* HandOut(uint32_t poolId, int32_t c, uint16_t size, const Taken& taken, tFbmCallback callback) {
    tFbmBcb header = LoadBcb(taken.bcb);
    header.next = nullptr;
    if (header.inUse != 0) {
        OdWrap__Log(1, "VosAlloc(): Allocation without free: P%d, C%d, N%X.\n", static_cast<int>(poolId),
                    c, static_cast<unsigned>(BufferNumber(header)));
        return nullptr;
    }
    header.size = size;
    header.inUse = 1;
    StoreBcb(taken.bcb, header);
    if (taken.lowWaterDue && callback != nullptr) callback(poolId, kFbmEventLowWater);
    void* buffer = BufferOfBcb(taken.bcb);
    VosLog(kVosModuleRuntime, kFbmTraceBuffers, "SBA: P%d, C%d, BP%p, N%X, S%d.\n", static_cast<int>(poolId), c,
           buffer, static_cast<unsigned>(BufferNumber(header)), size);
    return buffer;
}

void* AllocFromChains(uint32_t poolId, uint16_t size) {
    Pick pick{};
    Taken taken{nullptr, false};
    uint32_t chainCount = 0;
    tFbmCallback callback = nullptr;
    {
        FbmPoolLock lock;
        pick = PickChainLocked(poolId, size);
        if (pick.chain >= 0 && !pick.expansionFailed) {
            taken = TakeFirstLocked(poolId, static_cast<uint32_t>(pick.chain), size);
        }
        chainCount = gFbmPool.chainCount;
        callback = gFbmPool.callback;
    }
    if (pick.expansionFailed) {
        OdWrap__Log(1, "VosAlloc(): Pool expansion failed: P%d, C%d, S%d.\n", static_cast<int>(poolId),
                    pick.chain, size);
        return nullptr;
    }
    if (pick.chain < 0) {
        OdWrap__Log(1, "VosAlloc(): No buffers: P%d, TN%d,  S%d.\n", static_cast<int>(poolId),
                    static_cast<int>(chainCount), size);
        return nullptr;
    }
    if (taken.bcb == nullptr) return nullptr;
    return HandOut(poolId, pick.chain, size, taken, callback);
}

}  // namespace

void* VosAlloc(uint32_t poolId, uint16_t size) {
    if (poolId >= kFbmMaxPools) {
        OdWrap__Log(1, "VosAlloc(): Invalid buffer pool id: P%d.\n", static_cast<int>(poolId));
        return nullptr;
    }
    if (size == 0) {
        OdWrap__Log(1, "VosAlloc(): Invalid buffer size: S%d.\n", size);
        return nullptr;
    }
    uint32_t chainCount = 0;
    uint32_t largestSize = 0;
    uint32_t flags = 0;
    {
        FbmPoolLock lock;
        chainCount = gFbmPool.chainCount;
        largestSize = gFbmPool.largestSize;
        flags = gFbmPool.flags;
    }
    if (chainCount == 0) {
        OdWrap__Log(1, "VosAlloc(): Uninitialized buffer pool: P%d.\n", static_cast<int>(poolId));
        return nullptr;
    }
    if (size > largestSize) return AllocLarge(poolId, size, flags);
    return AllocFromChains(poolId, size);
}

int32_t SvcPoolGetBufNo(void* buffer) {
    if (buffer == nullptr) {
        OdWrap__Log(1, "SvcPoolGetBufNo(): NULL buffer.");
        return -1;
    }
    const tFbmBcb header = LoadBcb(BcbOfBuffer(buffer));
    if (header.poolId >= kFbmMaxPools ||
        (header.chain >= kFbmMaxChains && header.chain != kFbmLargeChain)) {
        OdWrap__Log(1, "SvcPoolGetBufNo(): Invalid BCB: BP%p, P%d, C%d, next(%p).\n", buffer,
                    header.poolId, header.chain, header.next);
        return -1;
    }
    const int32_t number = BufferNumber(header);
    if (header.next != nullptr || header.inUse != 1) {
        OdWrap__Log(1, "SvcPoolGetBufNo(): On free buffer: BP%p, N%X, S%d.\n", buffer,
                    static_cast<unsigned>(number), static_cast<int>(header.inUse));
    }
    return number;
}

namespace {

void FreeLarge(void* buffer, uint8_t* bcb, const tFbmBcb& header, int32_t number) {
    const uint32_t bytes = header.size + kFbmBcbSize;
    {
        FbmPoolLock lock;
        gFbmPool.largeBytes -= std::min(gFbmPool.largeBytes, bytes);
        gFbmPool.level -= std::min(gFbmPool.level, bytes);
    }
    VosLog(kVosModuleRuntime, kFbmTraceBuffers, "SBF: BP%p,  N%X, S%d.\n", buffer,
           static_cast<unsigned>(number), header.size);
    OdWrap__Free(bcb);
}

// Caller holds the lock; the buffer's in-use word is already clear.
bool AppendFreeLocked(uint8_t* bcb, uint32_t c) {
    tFbmBccb& chain = gFbmPool.chains[c];
    if (chain.last != nullptr) {
        tFbmBcb last = LoadBcb(chain.last);
        last.next = bcb;
        StoreBcb(chain.last, last);
    } else {
        chain.first = bcb;
    }
    chain.last = bcb;
    ++chain.freeCount;
    if (gFbmPool.callback == nullptr) return false;
    gFbmPool.level += chain.bufSize;
    if ((gFbmPool.flags & kFbmFlagLowFired) != 0 && gFbmPool.level >= gFbmPool.highMark) {
        gFbmPool.flags &= ~kFbmFlagLowFired;
        return true;
    }
    return false;
}

}  // namespace

void VosFree(void* buffer) {
    if (buffer == nullptr) return;
    const int32_t number = SvcPoolGetBufNo(buffer);
    if (number == -1) {
        OdWrap__Log(1, "VosFree(): Invalid buffer number: BP%p.\n", buffer);
        return;
    }
    uint8_t* bcb = BcbOfBuffer(buffer);
    tFbmBcb header = LoadBcb(bcb);
    if (header.next != nullptr || header.inUse != 1) {
        OdWrap__Log(1, "VosFree(): Buffer free twice: BP%p, N%X, S%d.\n", buffer,
                    static_cast<unsigned>(number), static_cast<int>(header.inUse));
        return;
    }
    uint32_t chainCount = 0;
    {
        FbmPoolLock lock;
        chainCount = gFbmPool.chainCount;
    }
    if (chainCount == 0) {
        OdWrap__Log(1, "VosFree(): Buffer pool not initialized: N%X.\n", static_cast<unsigned>(number));
        return;
    }
    if (header.chain == kFbmLargeChain) {
        FreeLarge(buffer, bcb, header, number);
        return;
    }
    if (header.chain >= chainCount) {  // a control block naming a chain the pool does not have
        OdWrap__Log(1, "VosFree(): Invalid buffer number: BP%p.\n", buffer);
        return;
    }
    header.inUse = 0;
    StoreBcb(bcb, header);
    bool highWaterDue = false;
    tFbmCallback callback = nullptr;
    {
        FbmPoolLock lock;
        highWaterDue = AppendFreeLocked(bcb, header.chain);
        callback = gFbmPool.callback;
    }
    if (highWaterDue && callback != nullptr) callback(0, kFbmEventHighWater);
    VosLog(kVosModuleRuntime, kFbmTraceBuffers, "SBF: BP%p, N%X, S%d.\n", buffer,
           static_cast<unsigned>(number), header.size);
}

