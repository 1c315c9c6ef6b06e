// Heap allocation and the mutex wrappers of OdWrap, with their diagnostics.
#include <cstdio>
#include <cstdlib>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"

void* OdWrap__Alloc(uint32_t size) {
    void* memory = malloc(size);
    if (memory == nullptr) {
        printf("OdWrap__Alloc(): malloc() failed: S%u.\n", size);
    }
    return memory;
}

void OdWrap__Free(void* pointer) { free(pointer); }

int32_t MutexCreate(pthread_mutex_t* mutex) {
    if (pthread_mutex_init(mutex, nullptr) != 0) {
        puts("MutexCreate(): pthread_mutex_init() failed.");
        return 1;
    }
    return 0;
}

void MutexLock(pthread_mutex_t* mutex) {
    if (pthread_mutex_lock(mutex) != 0) {
        OdWrap__Log(2, "MutexLock(): pthread_mutex_lock() failed.\n");
    }
}

void MutexUnlock(pthread_mutex_t* mutex) {
    if (pthread_mutex_unlock(mutex) != 0) {
        OdWrap__Log(2, "MutexUnlock(): pthread_mutex_unlock() failed.\n");
    }
}

int32_t MutexDeletle(pthread_mutex_t* mutex) {
    int result = pthread_mutex_destroy(mutex);
    if (result != 0) {
        // The constant 16 is EBUSY, the usual cause, printed for comparison.
        printf("MutexDeletle(): pthread_mutex_destroy() failed.ret=%d,%d\n", result, 16);
        return 1;
    }
    return 0;
}
