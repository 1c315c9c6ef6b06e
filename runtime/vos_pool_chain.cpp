// Buffer chains of the pool service: carving heap blocks into buffers behind
// control blocks, the first block of a chain and the growth of a dynamic chain.
// Callers hold the runtime's global mutex.
#include <algorithm>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos_pool.h"
#include "runtime/vos_pool_internal.h"

namespace {

constexpr uint32_t kMaxChainBuffers = UINT16_MAX;  // buffer counts and numbers are 16-bit

// Cuts block into count buffers numbered from firstNumber, in address order,
// and appends them to the chain's free list.
void CarveIntoChain(uint8_t* block, uint32_t count, uint32_t poolId, uint32_t chain,
                    uint32_t firstNumber, tFbmBccb* chainRecord) {
    const uint32_t stride = chainRecord->bufSize + kFbmBcbSize;
    for (uint32_t i = 0; i < count; ++i) {
        tFbmBcb header{};
        header.next = i + 1 < count ? block + (i + 1) * stride : nullptr;
        header.poolId = static_cast<uint8_t>(poolId);
        header.chain = static_cast<uint8_t>(chain);
        header.number = static_cast<uint16_t>(firstNumber + i);
        StoreBcb(block + i * stride, header);
    }
    if (chainRecord->last != nullptr) {
        tFbmBcb last = LoadBcb(chainRecord->last);
        last.next = block;
        StoreBcb(chainRecord->last, last);
    } else {
        chainRecord->first = block;
    }
    chainRecord->last = block + (count - 1) * stride;
}

// Buffers one expansion asks for: 50, or as many as fit the largest block.
uint32_t ExpansionCount(uint32_t stride) {
    return stride * kFbmExpandCount <= kFbmExpandMaxBytes ? kFbmExpandCount
                                                          : kFbmExpandMaxBytes / stride;
}

}  // namespace

int32_t SetUpBufChain(uint32_t poolId, uint32_t chain, tFbmPool* pool, tFbmBccb* chainRecord) {
    chainRecord->freeCount = chainRecord->bufCount;
    chainRecord->first = nullptr;
    chainRecord->last = nullptr;
    if (chainRecord->bufCount == 0) return 0;
    const uint64_t bytes =
        static_cast<uint64_t>(chainRecord->bufCount) * (chainRecord->bufSize + kFbmBcbSize);
    void* block = bytes <= UINT32_MAX ? OdWrap__Alloc(static_cast<uint32_t>(bytes)) : nullptr;
    if (block == nullptr) {
        OdWrap__Log(1, "SetUpBufChain(): Buffer chain allocation failure: P%d, C%d.\n",
                    static_cast<int>(poolId), static_cast<int>(chain));
        return 4;
    }
    if ((pool->flags & kFbmFlagDynamic) != 0) pool->level += static_cast<uint32_t>(bytes);
    CarveIntoChain(static_cast<uint8_t*>(block), chainRecord->bufCount, poolId, chain, 0,
                   chainRecord);
    return 0;
}

int32_t ExpandBufChain(uint32_t poolId, uint32_t chain, tFbmPool* pool, tFbmBccb* chainRecord) {
    const uint32_t stride = chainRecord->bufSize + kFbmBcbSize;
    uint32_t count = ExpansionCount(stride);
    if (count == 0) {
        OdWrap__Log(2, "ExpandBufChain(): Chain's buffer size is too big: P%d, C%d, S%d.\n",
                    static_cast<int>(poolId), static_cast<int>(chain), chainRecord->bufSize);
        return 4;
    }
    // Numbers must stay unique within the chain's 16-bit range.
    count = std::min(count, kMaxChainBuffers - chainRecord->bufCount);
    void* block = count != 0 ? OdWrap__Alloc(count * stride) : nullptr;
    bool adjusted = false;
    while (block == nullptr && count >= 2) {
        if (!adjusted) {
            OdWrap__Log(0, "ExpandBufChain(): Block size adjusted: P%d, C%d, S%d.\n",
                        static_cast<int>(poolId), static_cast<int>(chain),
                        static_cast<int>(count * stride));
            adjusted = true;
        }
        count = count * 3 / 4;
        block = OdWrap__Alloc(count * stride);
    }
    if (block == nullptr) {
        OdWrap__Log(1, "ExpandBufChain(): Buffers allocation failure: P%d, C%d.\n",
                    static_cast<int>(poolId), static_cast<int>(chain));
        return 4;
    }
    CarveIntoChain(static_cast<uint8_t*>(block), count, poolId, chain, chainRecord->bufCount,
                   chainRecord);
    chainRecord->bufCount = static_cast<uint16_t>(chainRecord->bufCount + count);
    chainRecord->freeCount = static_cast<uint16_t>(chainRecord->freeCount + count);
    pool->level += count * stride;
    VosLog(kVosModuleRuntime, 1, "SBE: P%d, C%d, BC%d.\n", static_cast<int>(poolId),
           static_cast<int>(chain), chainRecord->bufCount);
    return 0;
}
