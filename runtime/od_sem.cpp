// Counting semaphores with ids: a table of 1500 entries, each with its own
// mutex and condition variable. Ids only grow and are never reused.
//
// A slot's mutex and condition variable are made once, when the slot is first
// used (its valid word), and live as long as the process: a waiter that has
// looked a semaphore up may still be about to lock them when it is deleted,
// and a deleted semaphore wakes its waiters, which then leave with an error.
#include <time.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "runtime/od_diag.h"
#include "runtime/od_internal.h"
#include "runtime/odwrap.h"

namespace {

struct SemEntry {
    uint32_t valid;  // mutex and condition variable exist; never cleared
    uint32_t inUse;  // written under both the table mutex and the entry's mutex
    uint32_t id;
    pthread_cond_t condition;
    pthread_mutex_t mutex;  // guards count
    int32_t count;
};

constexpr int32_t kNotFound = -1;

pthread_mutex_t gSemMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t gSemCount = 0;
uint32_t gNextSemId = 0;
std::array<SemEntry, kOdMaxSemaphores> gSems{};

// Caller holds the table mutex.
int32_t FindLocked(uint32_t semId) {
    for (int32_t i = 0; i < kOdMaxSemaphores; ++i) {
        const SemEntry& entry = gSems[static_cast<size_t>(i)];
        if (entry.inUse == 1 && entry.id == semId) return i;
    }
    return kNotFound;
}

// Looks the id up and returns the entry with its own mutex held, or null.
// The table mutex is dropped before the entry's mutex is taken (lock order),
// so the entry is checked again once its mutex is held.
SemEntry* LockById(uint32_t semId) {
    MutexLock(&gSemMutex);
    int32_t index = FindLocked(semId);
    MutexUnlock(&gSemMutex);
    if (index == kNotFound) return nullptr;
    SemEntry* entry = &gSems[static_cast<size_t>(index)];
    MutexLock(&entry->mutex);
    if (entry->inUse != 1 || entry->id != semId) {
        MutexUnlock(&entry->mutex);
        return nullptr;
    }
    return entry;
}

// Timed waits run on CLOCK_MONOTONIC: the wall clock is set from the server
// and would stretch or cut a wait in progress.
int32_t MakeSlotPrimitives(SemEntry* entry) {
    if (MutexCreate(&entry->mutex) != 0) {
        puts("OdWrap__SemCreate(): MutexCreate() failed for semaphore.");
        return eOD_RET_ERROR;
    }
    pthread_condattr_t attributes;
    bool made = pthread_condattr_init(&attributes) == 0;
    made = made && pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0;
    made = made && pthread_cond_init(&entry->condition, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    if (!made) {
        puts("OdWrap__SemCreate(): pthread_cond_init() failed.");
        MutexDeletle(&entry->mutex);
        return eOD_RET_ERROR;
    }
    entry->valid = 1;
    return eOD_RET_OK;
}

timespec DeadlineAfter(int32_t timeoutMs) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    int64_t ms = timeoutMs > 0 ? timeoutMs : 0;
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

bool IsTimeout(int result) { return result == ETIMEDOUT || result == ETIME; }

// Waits with the entry's mutex held until a unit is there. A wake-up without
// a unit (spurious, or another waiter was quicker) waits again, so success
// always takes a unit.
int32_t WaitForUnitLocked(SemEntry* entry, uint32_t semId, int32_t timeoutMs) {
    const timespec deadline = DeadlineAfter(timeoutMs);
    while (entry->count <= 0) {
        if (timeoutMs == 0) return eOD_RET_AGAIN;
        int result = timeoutMs == -1 ? pthread_cond_wait(&entry->condition, &entry->mutex)
                                     : pthread_cond_timedwait(&entry->condition, &entry->mutex,
                                                              &deadline);
        if (entry->inUse != 1 || entry->id != semId) {
            printf("OdWrap__SemWait(): No such semaphore: S%u.\n", semId);
            return eOD_RET_ERROR;
        }
        if (IsTimeout(result) && entry->count <= 0) return eOD_RET_TIMEOUT;
        if (result != 0 && !IsTimeout(result)) {
            puts("OdWrap__SemWait(): pthread_cond_wait() or pthread_cond_timedwait() failed.");
            return eOD_RET_ERROR;
        }
    }
    --entry->count;
    return eOD_RET_OK;
}

}  // namespace

pthread_mutex_t* OdSemTableMutex(void) { return &gSemMutex; }

int32_t OdWrap__SemCreate(uint16_t initialCount, uint32_t* semId) {
    uint32_t ignored = 0;
    uint32_t* out = semId != nullptr ? semId : &ignored;
    *out = 0;
    MutexLock(&gSemMutex);
    SemEntry* entry = nullptr;
    for (SemEntry& candidate : gSems) {
        if (candidate.inUse == 0) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        MutexUnlock(&gSemMutex);
        puts("OdWrap__SemCreate(): Reached maximum semaphore limit.");
        return eOD_RET_ERROR;
    }
    if (entry->valid == 0 && MakeSlotPrimitives(entry) != eOD_RET_OK) {
        MutexUnlock(&gSemMutex);
        return eOD_RET_ERROR;
    }
    MutexLock(&entry->mutex);
    entry->inUse = 1;
    entry->id = gNextSemId++;
    entry->count = initialCount;
    MutexUnlock(&entry->mutex);
    ++gSemCount;
    *out = entry->id;
    MutexUnlock(&gSemMutex);
    return eOD_RET_OK;
}

void OdWrap__SemRelease(uint32_t semId) {
    SemEntry* entry = LockById(semId);
    if (entry == nullptr) {
        printf("OdWrap__SemRelease(): No such semaphore: S%u.\n", semId);
        return;
    }
    if (entry->count < INT32_MAX) ++entry->count;
    MutexUnlock(&entry->mutex);
    // Signalled on every release, not only on 0 -> 1, so several waiters are never stranded;
    // after the unlock, so the woken waiter does not block again on the mutex at once.
    pthread_cond_signal(&entry->condition);
}

int32_t OdWrap__SemWait(uint32_t semId, int32_t timeoutMs) {
    SemEntry* entry = LockById(semId);
    if (entry == nullptr) {
        printf("OdWrap__SemWait(): No such semaphore: S%u.\n", semId);
        return eOD_RET_ERROR;
    }
    int32_t result = WaitForUnitLocked(entry, semId, timeoutMs);
    MutexUnlock(&entry->mutex);
    return result;
}

int32_t OdWrap__semDeletle(uint32_t semId) {
    MutexLock(&gSemMutex);
    int32_t index = FindLocked(semId);
    if (index == kNotFound) {
        MutexUnlock(&gSemMutex);
        printf("OdWrap__semDeletle():semid is not exist,semid:0x%x.\n", semId);
        return eOD_RET_OK;
    }
    SemEntry& entry = gSems[static_cast<size_t>(index)];
    MutexLock(&entry.mutex);
    entry.inUse = 0;
    pthread_cond_broadcast(&entry.condition);  // waiters see the id gone and leave
    MutexUnlock(&entry.mutex);
    --gSemCount;
    MutexUnlock(&gSemMutex);
    return eOD_RET_OK;
}

int32_t OdWrap__SemCount(void) {
    MutexLock(&gSemMutex);
    int32_t count = gSemCount;
    MutexUnlock(&gSemMutex);
    return count;
}

int32_t OdWrap__SemUnits(uint32_t semId) {
    SemEntry* entry = LockById(semId);
    if (entry == nullptr) return -1;
    int32_t units = entry->count;
    MutexUnlock(&entry->mutex);
    return units;
}
