// Start-up of the runtime layer: the wrapper, the three start-up semaphores,
// the timer service and its task, in that fixed order.
#include "runtime/od_internal.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

uint32_t SleepSemId = 0;
uint32_t tmbTimerSm = 0;
uint32_t EcbemId = 0;
OdTaskId gVosTimerTaskId = 0;

namespace {

constexpr uint32_t kTimerTaskStack = 2048;

struct StartupSem {
    uint32_t* id;
    uint16_t initialCount;
    const char* failure;
};

constexpr StartupSem kStartupSems[] = {
    {&SleepSemId, 0, "vos_init(): OdWrap__SemCreate() failed for SleepSemId: E%d.\n"},
    {&tmbTimerSm, 1, "vos_init(): OdWrap__SemCreate() failed for tmbTimerSm: E%d.\n"},
    {&EcbemId, 1, "vos_init(): OdWrap__SemCreate() failed for EcbemId: E%d.\n"},
};

}  // namespace

int32_t vos_init(void) {
    OdWrap__Init();  // a failed init still lets start-up go on
    for (const StartupSem& sem : kStartupSems) {
        int32_t result = OdWrap__SemCreate(sem.initialCount, sem.id);
        if (result != eOD_RET_OK) {
            OdWrap__Log(1, sem.failure, result);
            return 1;
        }
    }
    VosLog(kVosModuleRuntime, 1, "SVCInit.\n");
    return 0;
}

int32_t VosStart(void) {
    vos_init();
    uint32_t result = VosTimerInit();
    if (result != 0) return static_cast<int32_t>(result);
    return VosTaskCreate(VosTimerTask, nullptr, eOD_PRIO_HIGH, kTimerTaskStack, &gVosTimerTaskId);
}
