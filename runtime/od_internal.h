// Runtime-internal links between the wrapper's source files: the guard
// mutexes of the runtime record, the time base and the start-up globals.
// Nothing outside runtime/ (apart from its tests) includes this header.
#ifndef PATERM_RUNTIME_OD_INTERNAL_H
#define PATERM_RUNTIME_OD_INTERNAL_H

#include <pthread.h>

#include <cstdint>

#include "runtime/od_types.h"

// Guard mutexes of the runtime record, created by OdWrap__Init.
pthread_mutex_t* OdGlobalMutex(void);     // VosIntLock and the buffer pools
pthread_mutex_t* OdTaskTableMutex(void);  // task table
pthread_mutex_t* OdQueueTableMutex(void); // queue table
pthread_mutex_t* OdSemTableMutex(void);   // semaphore table

// Reads the monotonic clock into the time base that OdWrap__TimeGetMs counts from.
void OdTimeBaseSet(void);

// Start-up semaphores created by vos_init; nothing waits on them.
extern uint32_t SleepSemId;
extern uint32_t tmbTimerSm;
extern uint32_t EcbemId;
// The timer task created by VosStart.
extern OdTaskId gVosTimerTaskId;

#endif  // PATERM_RUNTIME_OD_INTERNAL_H
