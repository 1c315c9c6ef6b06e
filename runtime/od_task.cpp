// The task table: detached threads created from fixed entries, kept dense in
// creation order, with the priority class mapped to a stored priority.
#include <cstdio>
#include <cstring>

#include <array>

#include "runtime/od_diag.h"
#include "runtime/od_internal.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"

namespace {

struct TaskEntry {
    uint32_t inUse;
    pthread_t thread;  // the task id handed to callers
    pthread_attr_t attributes;
    sched_param schedParam;
};

// Priority class (index) to the priority stored in the sched_param.
constexpr std::array<int, 3> kClassPriority = {3, 2, 1};

pthread_mutex_t gTaskMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t gTaskCount = 0;  // entries 0..count-1 are the live tasks
std::array<TaskEntry, kOdMaxTasks> gTasks{};

void ClearEntry(TaskEntry* entry) { memset(static_cast<void*>(entry), 0, sizeof(*entry)); }

// Stack sizes below the platform minimum fall back to the platform default.
void SetStackSize(pthread_attr_t* attributes, uint32_t stackSize) {
    if (stackSize >= static_cast<size_t>(PTHREAD_STACK_MIN)) {
        pthread_attr_setstacksize(attributes, stackSize);
    }
}

int32_t CreateLocked(OdTaskEntry entry, void* argument, uint32_t priorityClass,
                     uint32_t stackSize, OdTaskId* taskId) {
    if (gTaskCount > kOdMaxTasks - 1) {
        printf("OdWrap__TaskCreate(): Reached maximum task limit. %d \n", gTaskCount);
        return eOD_RET_ERROR;
    }
    TaskEntry& slot = gTasks[static_cast<size_t>(gTaskCount)];
    if (pthread_attr_init(&slot.attributes) != 0) {
        puts("OdWrap__TaskCreate(): pthread_attr_init() failed.");
        return eOD_RET_ERROR;
    }
    pthread_attr_setdetachstate(&slot.attributes, PTHREAD_CREATE_DETACHED);
    SetStackSize(&slot.attributes, stackSize);
    if (priorityClass >= kClassPriority.size()) {
        OdWrap__Log(2, "OdWrap__TaskCreate(): Invalid priority: P%d.\n",
                    static_cast<int>(priorityClass));
        pthread_attr_destroy(&slot.attributes);
        return eOD_RET_INVALID;
    }
    slot.schedParam.sched_priority = kClassPriority[priorityClass];
    // No real-time policy is selected, so the stored priority has no effect on scheduling.
    pthread_attr_setschedparam(&slot.attributes, &slot.schedParam);
    if (entry == nullptr || pthread_create(&slot.thread, &slot.attributes, entry, argument) != 0) {
        puts("OdWrap__TaskCreate(): pthread_create() failed.");
        pthread_attr_destroy(&slot.attributes);
        ClearEntry(&slot);
        return eOD_RET_ERROR;
    }
    slot.inUse = 1;
    ++gTaskCount;
    *taskId = slot.thread;
    return eOD_RET_OK;
}

}  // namespace

pthread_mutex_t* OdTaskTableMutex(void) { return &gTaskMutex; }

int32_t OdWrap__TaskCreate(OdTaskEntry entry, void* argument, uint32_t priorityClass,
                           uint32_t stackSize, OdTaskId* taskId) {
    OdTaskId ignored = 0;
    OdTaskId* out = taskId != nullptr ? taskId : &ignored;
    *out = 0;
    // Held across pthread_create so the entry is complete before anyone can look it up.
    MutexLock(&gTaskMutex);
    int32_t result = CreateLocked(entry, argument, priorityClass, stackSize, out);
    MutexUnlock(&gTaskMutex);
    return result;
}

int32_t OdWrap__TaskDelete(OdTaskId taskId) {
    MutexLock(&gTaskMutex);
    int32_t found = -1;
    for (int32_t i = 0; i < gTaskCount && found < 0; ++i) {
        if (pthread_equal(gTasks[static_cast<size_t>(i)].thread, taskId)) found = i;
    }
    if (found < 0) {
        MutexUnlock(&gTaskMutex);
        printf("OdWrap__TaskDelete():taskid is not exist,taskid:0x%x.\n",
               static_cast<unsigned>(taskId));
        return eOD_RET_OK;
    }
    // The thread itself is neither stopped nor joined; only its entry goes.
    pthread_attr_destroy(&gTasks[static_cast<size_t>(found)].attributes);
    for (int32_t i = found; i + 1 < gTaskCount; ++i) {
        gTasks[static_cast<size_t>(i)] = gTasks[static_cast<size_t>(i) + 1];
    }
    --gTaskCount;
    ClearEntry(&gTasks[static_cast<size_t>(gTaskCount)]);
    MutexUnlock(&gTaskMutex);
    return eOD_RET_OK;
}

OdTaskId OdWrap__TaskSelf(void) { return pthread_self(); }

int32_t OdWrap__TaskCount(void) {
    MutexLock(&gTaskMutex);
    int32_t count = gTaskCount;
    MutexUnlock(&gTaskMutex);
    return count;
}

OdTaskId OdWrap__TaskAt(int32_t index) {
    MutexLock(&gTaskMutex);
    OdTaskId id = (index >= 0 && index < gTaskCount) ? gTasks[static_cast<size_t>(index)].thread : 0;
    MutexUnlock(&gTaskMutex);
    return id;
}

int32_t OdWrap__TaskPriorityAt(int32_t index) {
    MutexLock(&gTaskMutex);
    int32_t priority = (index >= 0 && index < gTaskCount)
                           ? gTasks[static_cast<size_t>(index)].schedParam.sched_priority
                           : -1;
    MutexUnlock(&gTaskMutex);
    return priority;
}
