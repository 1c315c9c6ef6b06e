// The OdWrap wrapper: fixed tables of tasks, counting semaphores and message
// queues on top of POSIX threads, with integer ids and return codes.
#ifndef PATERM_RUNTIME_ODWRAP_H
#define PATERM_RUNTIME_ODWRAP_H

#include <pthread.h>

#include <cstdint>

#include "runtime/od_types.h"

constexpr int32_t kOdMaxTasks = 500;
constexpr int32_t kOdMaxQueues = 1000;
constexpr int32_t kOdMaxSemaphores = 1500;

int32_t OdWrap__Init(void);

void* OdWrap__Alloc(uint32_t size);
void OdWrap__Free(void* pointer);

int32_t OdWrap__TaskCreate(OdTaskEntry entry, void* argument, uint32_t priorityClass,
                           uint32_t stackSize, OdTaskId* taskId);
int32_t OdWrap__TaskDelete(OdTaskId taskId);
OdTaskId OdWrap__TaskSelf(void);
// Number of entries in the task table (live tasks, in creation order).
int32_t OdWrap__TaskCount(void);
// The task id at a table index, or 0 outside 0..count-1.
OdTaskId OdWrap__TaskAt(int32_t index);

int32_t MutexCreate(pthread_mutex_t* mutex);
void MutexLock(pthread_mutex_t* mutex);
void MutexUnlock(pthread_mutex_t* mutex);
int32_t MutexDeletle(pthread_mutex_t* mutex);

int32_t OdWrap__SemCreate(uint16_t initialCount, uint32_t* semId);
void OdWrap__SemRelease(uint32_t semId);
// timeoutMs: 0 = do not wait, -1 = wait without limit, else at most that many ms.
int32_t OdWrap__SemWait(uint32_t semId, int32_t timeoutMs);
int32_t OdWrap__semDeletle(uint32_t semId);

// Milliseconds since OdWrap__Init read the monotonic time base.
void OdWrap__TimeGetMs(Uint64* now);

int32_t OdWrap__QueueCreate(uint16_t capacity, uint32_t* queueId);
int32_t OdWrap__QueueSend(uint32_t queueId, void* message);
int32_t OdWrap__QueueRcv(uint32_t queueId, void** message, int32_t timeoutMs);
int32_t OdWrap__QueueDelete(uint32_t queueId);

#endif  // PATERM_RUNTIME_ODWRAP_H
