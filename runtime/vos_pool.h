// The buffer pool service: one pool of up to ten chains of equally sized
// buffers, each behind a 16-byte control block; dynamic pools grow chains on
// demand and serve oversized requests from the heap, static pools can report
// low- and high-water crossings.
#ifndef PATERM_RUNTIME_VOS_POOL_H
#define PATERM_RUNTIME_VOS_POOL_H

#include <array>
#include <cstdint>

constexpr uint32_t kFbmMaxPools = 1;
constexpr uint32_t kFbmMaxChains = 10;
constexpr uint32_t kFbmBcbSize = 16;          // control block in front of every buffer
constexpr uint8_t kFbmLargeChain = 255;       // chain index of a buffer taken straight from the heap
constexpr uint32_t kFbmExpandCount = 50;      // buffers added by a chain expansion
constexpr uint32_t kFbmExpandMaxBytes = 17016;  // largest block an expansion asks for

enum : uint32_t {
    kFbmFlagDynamic = 1,     // grow chains on demand, serve large requests from the heap
    kFbmFlagGlobalLock = 2,  // lock with the runtime's global mutex (always set)
    kFbmFlagLowFired = 16,   // low-water callback fired, high-water one due
};

enum : uint32_t {
    kFbmEventLowWater = 0,
    kFbmEventHighWater = 1,
};

typedef void (*tFbmCallback)(uint32_t poolId, uint32_t event);

struct tFbmChainConf {
    uint16_t bufSize;   // bytes; rounded up to a multiple of 4 by VosPoolInit
    uint16_t bufCount;
};

// The caller's configuration; VosPoolInit writes the rounded sizes and the lock flag back.
struct tFbmPoolConf {
    uint8_t poolId;      // must be 0
    uint8_t chainCount;  // 1 to 10, smallest buffers first
    std::array<tFbmChainConf, kFbmMaxChains> chains;
    uint32_t flags;
    tFbmCallback callback;
    uint8_t lowPercent;
    uint8_t highPercent;
    uint32_t bufPoolSize;  // byte limit of a dynamic pool
};

// The control block, 16 bytes. On a 32-bit target it is the terminal's layout
// (next in bytes 0-3, in-use word in bytes 12-15); on a 64-bit PC next takes
// bytes 0-7 and the in-use word shrinks to 16 bits so the block stays 16 bytes.
// Buffers are only 4-byte aligned, so it is read and written with memcpy.
struct tFbmBcb {
    void* next;  // control block of the next free buffer; null while allocated
    uint8_t poolId;
    uint8_t chain;  // kFbmLargeChain for a heap buffer
    uint16_t number;
    uint16_t size;  // requested size
#if UINTPTR_MAX > 0xFFFFFFFFu
    uint16_t inUse;
#else
    uint16_t reserved;
    uint32_t inUse;
#endif
};
static_assert(sizeof(tFbmBcb) == kFbmBcbSize, "control block must stay 16 bytes");

struct tFbmBccb {
    uint8_t* first;  // control block of the first free buffer
    uint8_t* last;
    uint16_t bufSize;
    uint16_t freeCount;
    uint16_t bufCount;
    uint32_t allocations;
    uint32_t waste;  // sum of buffer size - requested size
};

struct tFbmPool {
    uint8_t chainCount;  // 0: not initialised
    std::array<tFbmBccb, kFbmMaxChains> chains;
    uint32_t flags;
    tFbmCallback callback;
    uint32_t lowMark;
    uint32_t highMark;
    uint32_t limit;
    uint32_t level;
    uint32_t largeBytes;
    uint32_t largePeak;
    uint16_t largeCounter;
    uint16_t largestSize;
};

int32_t VosPoolInit(tFbmPoolConf* poolConf);
void* VosAlloc(uint32_t poolId, uint16_t size);
void VosFree(void* buffer);
// Pool id x 2^24 + chain x 2^16 + number, or -1 for an invalid control block.
int32_t SvcPoolGetBufNo(void* buffer);
int32_t SetUpBufChain(uint32_t poolId, uint32_t chain, tFbmPool* pool, tFbmBccb* chainRecord);
int32_t ExpandBufChain(uint32_t poolId, uint32_t chain, tFbmPool* pool, tFbmBccb* chainRecord);

// A copy of the pool's state taken under the lock, for diagnostics.
void VosPoolSnapshot(tFbmPool* out);

#endif  // PATERM_RUNTIME_VOS_POOL_H
