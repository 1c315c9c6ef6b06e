// The Vos calls for tasks and queues: argument conventions (queue flags,
// receive modes and ticks) converted and forwarded to OdWrap.
#include <climits>

#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kQueueFlagDefaultCapacity = 8;  // bit 3
constexpr uint32_t kQueueDefaultCapacity = 256;
constexpr uint32_t kReceiveNoWait = 1;
constexpr int32_t kWaitForever = -1;

}  // namespace

int32_t VosTaskCreate(OdTaskEntry entry, void* argument, uint32_t priorityClass,
                      uint32_t stackSize, OdTaskId* taskId) {
    return OdWrap__TaskCreate(entry, argument, priorityClass, stackSize, taskId);
}

int32_t VosTaskDelete(OdTaskId taskId) {
    OdWrap__TaskDelete(taskId);
    return 0;
}

int32_t VosQueueCreate(uint32_t capacity, uint32_t flags, uint32_t* queueId) {
    if ((flags & kQueueFlagDefaultCapacity) != 0) capacity = kQueueDefaultCapacity;
    return OdWrap__QueueCreate(static_cast<uint16_t>(capacity), queueId);
}

int32_t VosQueueSend(uint32_t queueId, void* message) {
    return OdWrap__QueueSend(queueId, message);
}

int32_t VosQueueReceive(uint32_t queueId, uint32_t mode, uint32_t timeout, void** message) {
    int32_t timeoutMs = 0;  // one tick is one millisecond
    if (mode != kReceiveNoWait) {
        // Limits beyond the signed range are capped rather than turned negative.
        timeoutMs = timeout == 0 ? kWaitForever
                                 : static_cast<int32_t>(timeout > INT32_MAX ? INT32_MAX : timeout);
    }
    return OdWrap__QueueRcv(queueId, message, timeoutMs);
}

int32_t VosQueueDelete(uint32_t queueId) {
    OdWrap__QueueDelete(queueId);
    return 0;
}
