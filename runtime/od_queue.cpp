// Message queues: FIFO lists of caller pointers in a table of 1000 entries.
// Each queue counts its messages with a semaphore so a receiver can sleep.
// Messages are heap blocks: ownership moves with a successful send/receive.
//
// As with semaphores, a slot's mutex is made once (valid word) and kept, so
// a receiver that waited outside every lock can still lock it safely after a
// delete and find that its queue is gone.
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "runtime/od_diag.h"
#include "runtime/od_internal.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"

namespace {

struct MsgBlock {
    MsgBlock* next;  // the following, newer block
    void* message;
};

struct QueueEntry {
    uint32_t valid;  // mutex exists; never cleared
    uint32_t id;
    uint32_t inUse;  // written under both the table mutex and the queue's mutex
    uint32_t semId;  // its count equals the messages waiting
    pthread_mutex_t mutex;  // guards head and tail
    MsgBlock* head;
    MsgBlock* tail;
};

constexpr int32_t kNotFound = -1;

pthread_mutex_t gQueueMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t gQueueCount = 0;
uint32_t gNextQueueId = 0;
std::array<QueueEntry, kOdMaxQueues> gQueues{};

// Caller holds the table mutex.
int32_t FindLocked(uint32_t queueId) {
    for (int32_t i = 0; i < kOdMaxQueues; ++i) {
        const QueueEntry& entry = gQueues[static_cast<size_t>(i)];
        if (entry.inUse == 1 && entry.id == queueId) return i;
    }
    return kNotFound;
}

QueueEntry* FirstFreeLocked() {
    for (QueueEntry& entry : gQueues) {
        if (entry.inUse == 0) return &entry;
    }
    return nullptr;
}

// Caller holds the queue's mutex.
void FreeAllMessagesLocked(QueueEntry* entry) {
    MsgBlock* block = entry->head;
    while (block != nullptr) {
        MsgBlock* next = block->next;
        if (block->message != nullptr) free(block->message);
        OdWrap__Free(block);
        block = next;
    }
    entry->head = nullptr;
    entry->tail = nullptr;
}

// Caller holds the queue's mutex and has taken one unit of its semaphore.
int32_t UnlinkHeadLocked(QueueEntry* entry, void** message) {
    MsgBlock* head = entry->head;
    if (head == nullptr) {
        // Kept as a guard: every unit taken should match a block.
        puts("OdWrap__QueueRcv(): Unexpected value: msgbP is NULL.");
        return eOD_RET_ERROR;
    }
    *message = head->message;
    if (head == entry->tail) entry->tail = nullptr;
    entry->head = head->next;
    OdWrap__Free(head);
    return eOD_RET_OK;
}

int32_t MapWaitResult(int32_t waitResult, bool blocking) {
    if (waitResult == eOD_RET_AGAIN) {
        if (!blocking) return eOD_RET_AGAIN;
        OdWrap__Log(2, "OdWrap__QueueRcv(): OdWrap__SemWait() returned eOD_RET_AGAIN in blocking mode.\n");
        return eOD_RET_ERROR;
    }
    if (waitResult == eOD_RET_TIMEOUT) return eOD_RET_TIMEOUT;
    puts("OdWrap__QueueRcv(): OdWrap__SemWait() failed while waiting on a semaphore.");
    return waitResult;
}

}  // namespace

pthread_mutex_t* OdQueueTableMutex(void) { return &gQueueMutex; }

int32_t OdWrap__QueueCreate(uint16_t capacity, uint32_t* queueId) {
    (void)capacity;  // a queue is never full; the capacity is accepted and ignored
    uint32_t ignored = 0;
    uint32_t* out = queueId != nullptr ? queueId : &ignored;
    *out = 0;
    MutexLock(&gQueueMutex);
    QueueEntry* entry = FirstFreeLocked();
    if (entry == nullptr) {
        MutexUnlock(&gQueueMutex);
        puts("OdWrap__QueueCreate(): Reached maximum queue limit.");
        return eOD_RET_ERROR;
    }
    uint32_t semId = 0;
    if (OdWrap__SemCreate(0, &semId) != eOD_RET_OK) {
        puts("OdWrap__QueueCreate(): OdWrap__SemCreate() failed.");
        MutexUnlock(&gQueueMutex);
        return eOD_RET_ERROR;
    }
    if (entry->valid == 0) {
        if (MutexCreate(&entry->mutex) != 0) {
            puts("OdWrap__QueueCreate(): MutexCreate() failed.");
            OdWrap__semDeletle(semId);  // the slot stays free, so its semaphore must not leak
            MutexUnlock(&gQueueMutex);
            return eOD_RET_ERROR;
        }
        entry->valid = 1;
    }
    MutexLock(&entry->mutex);
    entry->semId = semId;
    entry->head = nullptr;
    entry->tail = nullptr;
    entry->inUse = 1;
    entry->id = gNextQueueId++;
    MutexUnlock(&entry->mutex);
    ++gQueueCount;
    *out = entry->id;
    MutexUnlock(&gQueueMutex);
    return eOD_RET_OK;
}

int32_t OdWrap__QueueSend(uint32_t queueId, void* message) {
    if (message == nullptr) {
        puts("OdWrap__QueueSend(): Invalid message: NULL.");
        return eOD_RET_INVALID;
    }
    // Held for the whole send: sends to all queues are serialised.
    MutexLock(&gQueueMutex);
    int32_t index = FindLocked(queueId);
    if (index == kNotFound) {
        MutexUnlock(&gQueueMutex);
        printf("OdWrap__QueueSend():Queue id is not exist,queueid:0x%x.\n", queueId);
        return eOD_RET_ERROR;
    }
    auto* block = static_cast<MsgBlock*>(OdWrap__Alloc(sizeof(MsgBlock)));
    if (block == nullptr) {
        MutexUnlock(&gQueueMutex);
        puts("OdWrap__QueueSend():alloc memory fail!.");
        return eOD_RET_ERROR;
    }
    block->next = nullptr;
    block->message = message;
    QueueEntry& entry = gQueues[static_cast<size_t>(index)];
    MutexLock(&entry.mutex);
    if (entry.tail == nullptr) {
        entry.head = block;
    } else {
        entry.tail->next = block;
    }
    entry.tail = block;
    MutexUnlock(&entry.mutex);
    // The unit follows the linked block; released after the list unlock so the
    // woken receiver does not block at once on the queue's mutex.
    OdWrap__SemRelease(entry.semId);
    MutexUnlock(&gQueueMutex);
    return eOD_RET_OK;
}

int32_t OdWrap__QueueRcv(uint32_t queueId, void** message, int32_t timeoutMs) {
    if (message == nullptr) return eOD_RET_INVALID;
    *message = nullptr;
    const bool blocking = timeoutMs == -1 || timeoutMs > 0;
    MutexLock(&gQueueMutex);
    int32_t index = FindLocked(queueId);
    uint32_t semId = index == kNotFound ? 0 : gQueues[static_cast<size_t>(index)].semId;
    MutexUnlock(&gQueueMutex);
    if (index == kNotFound) {
        printf("OdWrap__QueueRcv():Queue id is not exist,queueid:0x%x.\n", queueId);
        return eOD_RET_ERROR;
    }
    int32_t waitResult = OdWrap__SemWait(semId, timeoutMs);  // holding no lock
    if (waitResult != eOD_RET_OK) return MapWaitResult(waitResult, blocking);

    QueueEntry& entry = gQueues[static_cast<size_t>(index)];
    MutexLock(&entry.mutex);
    if (entry.inUse != 1 || entry.id != queueId) {  // deleted while we waited
        MutexUnlock(&entry.mutex);
        printf("OdWrap__QueueRcv():Queue id is not exist,queueid:0x%x.\n", queueId);
        return eOD_RET_ERROR;
    }
    int32_t result = UnlinkHeadLocked(&entry, message);
    MutexUnlock(&entry.mutex);
    return result;
}

int32_t OdWrap__QueueDelete(uint32_t queueId) {
    MutexLock(&gQueueMutex);
    int32_t index = FindLocked(queueId);
    if (index == kNotFound) {
        MutexUnlock(&gQueueMutex);
        return eOD_RET_OK;
    }
    QueueEntry& entry = gQueues[static_cast<size_t>(index)];
    OdWrap__semDeletle(entry.semId);
    MutexLock(&entry.mutex);
    FreeAllMessagesLocked(&entry);  // the queue owns what it still holds
    entry.inUse = 0;
    MutexUnlock(&entry.mutex);
    --gQueueCount;
    MutexUnlock(&gQueueMutex);
    return eOD_RET_OK;
}

int32_t OdWrap__QueueCount(void) {
    MutexLock(&gQueueMutex);
    int32_t count = gQueueCount;
    MutexUnlock(&gQueueMutex);
    return count;
}

namespace {

// Runs inspect on the queue with its mutex held; -1 for an unknown id.
template <typename Inspect>
int32_t InspectQueue(uint32_t queueId, Inspect inspect) {
    MutexLock(&gQueueMutex);
    int32_t index = FindLocked(queueId);
    int32_t result = -1;
    if (index != kNotFound) {
        QueueEntry& entry = gQueues[static_cast<size_t>(index)];
        MutexLock(&entry.mutex);
        result = inspect(entry);
        MutexUnlock(&entry.mutex);
    }
    MutexUnlock(&gQueueMutex);
    return result;
}

}  // namespace

int32_t OdWrap__QueueLength(uint32_t queueId) {
    return InspectQueue(queueId, [](const QueueEntry& entry) {
        int32_t length = 0;
        for (const MsgBlock* block = entry.head; block != nullptr && length < INT32_MAX; block = block->next) {
            ++length;
        }
        return length;
    });
}

int32_t OdWrap__QueueIsEmptyList(uint32_t queueId) {
    return InspectQueue(queueId, [](const QueueEntry& entry) {
        return static_cast<int32_t>(entry.head == nullptr && entry.tail == nullptr);
    });
}
