// Internals shared by the buffer pool's sources: the pool state, its lock,
// and access to the 16-byte control block in front of a buffer. Buffers are
// only 4-byte aligned, so a control block is copied, never dereferenced.
#ifndef PATERM_RUNTIME_VOS_POOL_INTERNAL_H
#define PATERM_RUNTIME_VOS_POOL_INTERNAL_H

#include <cstring>

#include "runtime/od_internal.h"
#include "runtime/odwrap.h"
#include "runtime/vos_pool.h"

constexpr uint32_t kFbmTraceSetUp = 1;    // module-14 mask: pool set-up notes
constexpr uint32_t kFbmTraceBuffers = 16;  // module-14 mask: per-buffer traces

// The one pool's state; every change happens under the runtime's global mutex.
extern tFbmPool gFbmPool;

// Holds the runtime's global mutex for a scope.
class FbmPoolLock {
public:
    FbmPoolLock() { MutexLock(OdGlobalMutex()); }
    ~FbmPoolLock() { MutexUnlock(OdGlobalMutex()); }
    FbmPoolLock(const FbmPoolLock&) = delete;
    FbmPoolLock& operator=(const FbmPoolLock&) = delete;
};

inline bool FbmIsDynamic(uint32_t flags) { return (flags & kFbmFlagDynamic) != 0; }

inline tFbmBcb LoadBcb(const void* bcb) {
    tFbmBcb header;
    memcpy(&header, bcb, sizeof(header));
    return header;
}

inline void StoreBcb(void* bcb, const tFbmBcb& header) { memcpy(bcb, &header, sizeof(header)); }

inline uint8_t* BcbOfBuffer(void* buffer) { return static_cast<uint8_t*>(buffer) - kFbmBcbSize; }

inline void* BufferOfBcb(void* bcb) { return static_cast<uint8_t*>(bcb) + kFbmBcbSize; }

inline int32_t BufferNumber(const tFbmBcb& header) {
    return static_cast<int32_t>((static_cast<uint32_t>(header.poolId) << 24) |
                                (static_cast<uint32_t>(header.chain) << 16) | header.number);
}

#endif  // PATERM_RUNTIME_VOS_POOL_INTERNAL_H
