// Return codes, priority classes and the 64-bit millisecond value shared by
// the whole runtime layer (the OdWrap wrapper and the Vos layer above it).
#ifndef PATERM_RUNTIME_OD_TYPES_H
#define PATERM_RUNTIME_OD_TYPES_H

#include <pthread.h>

#include <cstdint>

enum : int32_t {
    eOD_RET_OK = 0,
    eOD_RET_ERROR = 1,  // limit reached, id not in its table, platform call or allocation failed
    eOD_RET_INVALID = 3,
    eOD_RET_TIMEOUT = 5,
    eOD_RET_AGAIN = 6,  // a no-wait request found nothing to take
};

enum : uint32_t {
    eOD_PRIO_HIGH = 0,
    eOD_PRIO_NORMAL = 1,
    eOD_PRIO_LOW = 2,
};

// A 64-bit unsigned value as two 32-bit words, high word first.
struct Uint64 {
    uint32_t high;
    uint32_t low;
};

// A task is a detached thread; its id is the thread handle.
typedef pthread_t OdTaskId;
typedef void* (*OdTaskEntry)(void* argument);

#endif  // PATERM_RUNTIME_OD_TYPES_H
