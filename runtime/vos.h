// The Vos layer: what the rest of the program calls. It converts argument
// conventions (priority classes, wait modes, queue flags) and forwards to
// OdWrap; it also owns start-up, sleeping, the software timers and the
// interrupt-style global lock.
#ifndef PATERM_RUNTIME_VOS_H
#define PATERM_RUNTIME_VOS_H

#include <cstdint>

#include "runtime/od_types.h"
#include "runtime/odwrap.h"

// Start-up: OdWrap, the three start-up semaphores, the timer service and its task.
int32_t VosStart(void);
int32_t vos_init(void);

int32_t VosTaskCreate(OdTaskEntry entry, void* argument, uint32_t priorityClass,
                      uint32_t stackSize, OdTaskId* taskId);
int32_t VosTaskDelete(OdTaskId taskId);

int32_t VosSleepMs(uint32_t ms);
int32_t VosIntLock(int32_t lock, int32_t* level);

// Queues. Flag bit 3 makes the (unused) capacity 256.
int32_t VosQueueCreate(uint32_t capacity, uint32_t flags, uint32_t* queueId);
int32_t VosQueueSend(uint32_t queueId, void* message);
// mode 1: do not wait. Otherwise timeout 0 waits without limit, else at most timeout ms.
int32_t VosQueueReceive(uint32_t queueId, uint32_t mode, uint32_t timeout, void** message);
int32_t VosQueueDelete(uint32_t queueId);

// Software timers, fired by VosTimerTask on a 50 ms tick.
enum : uint32_t {
    eVOS_TMR_INIT_FAIL = 178,
    eVOS_TMR_NO_NODE = 233,
    eVOS_TMR_NOT_FOUND = 234,
};
typedef int (*VosTimerCallback)(void* argument);

uint32_t VosTimerInit(void);
void* VosTimerTask(void* argument);
// With a callback the timer calls it on expiry; without one it posts argument
// to queueId. Periodic only when periodic != 0 and queueId == 0.
uint32_t VosTimerStart(uint32_t delayMs, uint32_t* handle, VosTimerCallback callback,
                       void* argument, uint32_t queueId, uint32_t periodic);
uint32_t VosTimerStop(uint32_t handle);

#endif  // PATERM_RUNTIME_VOS_H
