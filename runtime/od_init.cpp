// Start-up of the OdWrap wrapper: the global mutex (owned here) and the three
// table mutexes, then the time base. Also the process-wide VosIntLock.
#include <cstdio>

#include "runtime/od_internal.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

pthread_mutex_t gGlobalMutex = PTHREAD_MUTEX_INITIALIZER;

struct NamedMutex {
    pthread_mutex_t* (*mutex)(void);
    const char* failure;
};

// Creation order is fixed; the first failure stops start-up of the wrapper.
constexpr NamedMutex kInitMutexes[] = {
    {OdGlobalMutex, "OdWrap__Init(): MutexCreate() failed for global mutex."},
    {OdTaskTableMutex, "OdWrap__Init(): MutexCreate() failed for global task mutex."},
    {OdQueueTableMutex, "OdWrap__Init(): MutexCreate() failed for global queue mutex."},
    {OdSemTableMutex, "OdWrap__Init(): MutexCreate() failed for global semaphore mutex."},
};

}  // namespace

pthread_mutex_t* OdGlobalMutex(void) { return &gGlobalMutex; }

int32_t OdWrap__Init(void) {
    for (const NamedMutex& named : kInitMutexes) {
        int32_t result = MutexCreate(named.mutex());
        if (result != 0) {
            puts(named.failure);
            return result;
        }
    }
    OdTimeBaseSet();
    return eOD_RET_OK;
}

int32_t VosIntLock(int32_t lock, int32_t* level) {
    if (lock != 0) {
        MutexLock(&gGlobalMutex);
        if (level != nullptr) *level = 0;
    } else {
        MutexUnlock(&gGlobalMutex);
        if (level != nullptr) *level = 7;
    }
    return 0;
}
