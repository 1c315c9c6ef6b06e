// Read-only diagnostics of the runtime's tables and the timer service's
// tick step, for tests and debugging. None of them changes runtime state
// except VosTimerTickAt, which is the timer task's own tick.
#ifndef PATERM_RUNTIME_OD_DIAG_H
#define PATERM_RUNTIME_OD_DIAG_H

#include <cstddef>
#include <cstdint>

#include "runtime/od_types.h"

// The priority stored for the task at a table index, or -1 outside the table.
int32_t OdWrap__TaskPriorityAt(int32_t index);

// Number of semaphores in use, and the units of one (-1 if the id is unknown).
int32_t OdWrap__SemCount(void);
int32_t OdWrap__SemUnits(uint32_t semId);

// Number of queues in use; messages held by one and whether its head and
// tail are both null (-1 if the id is unknown).
int32_t OdWrap__QueueCount(void);
int32_t OdWrap__QueueLength(uint32_t queueId);
int32_t OdWrap__QueueIsEmptyList(uint32_t queueId);

// Timer service: copies up to max delays of the delta list, head first, and
// returns how many timers are active.
size_t VosTimerDelays(uint32_t* delays, size_t max);
// Free records and records ever allocated by the timer pool.
void VosTimerPoolStats(uint32_t* freeCount, uint32_t* total);
// The low clock word of the latest tick.
uint32_t VosTimerLastTick(void);
// Elapsed milliseconds between two tick readings: a wrapped clock word counts
// as one 50 ms tick, a gap above 5000 ms as 5000 ms.
uint32_t VosTimerElapsed(uint32_t previousTick, uint32_t newTick);
// One tick of the timer task at clock reading nowLow: measures the elapsed
// time since the previous tick and fires what is due.
void VosTimerTickAt(uint32_t nowLow);

#endif  // PATERM_RUNTIME_OD_DIAG_H
