// The software timer service: a delta list of active timers ordered by
// expiry, records from a pool that grows in blocks and never shrinks, and the
// timer task that fires what is due every 50 ms.
#include <new>
#include <cstdio>

#include <algorithm>

#include "runtime/od_diag.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

// A handle is index + 1 in its low bits and the record's start generation in
// its high bits: it names the record without being its address (64-bit PCs),
// and a stale handle stops nothing once the record has been started again.
constexpr uint32_t kHandleIndexBits = 20;
constexpr uint32_t kHandleIndexMask = (1u << kHandleIndexBits) - 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kHandleIndexBits)) - 1;
constexpr uint32_t kMaxRecords = kHandleIndexMask;  // index + 1 must fit the low bits

constexpr uint32_t kTickMs = 50;
constexpr uint32_t kMaxStartLagMs = 500;  // a start long after the last tick counts this much
constexpr uint32_t kMaxElapsedMs = 5000;  // a held-up timer task catches up this much at most

struct TimerNode {
    TimerNode* next;  // in the active or the free list
    uint32_t delay;   // active: ms after the previous node's expiry (head: after the last tick)
    uint32_t period;  // 0 for a one-shot timer
    VosTimerCallback callback;
    void* argument;
    uint32_t queueId;
    uint32_t index;       // position among all records ever allocated
    uint32_t generation;  // advanced at every start
};

struct TimerPoolSettings {
    uint32_t initial;
    uint32_t increment;
    uint32_t maximum;  // 0: no bound
    uint32_t total;
};

struct TimerService {
    TimerNode* activeHead;
    uint32_t reentry;
    pthread_mutex_t mutex;  // guards everything here and the pool settings
    TimerNode* freeHead;
    TimerNode* freeTail;
    uint32_t lastTick;
};

TimerPoolSettings gPool = {300, 50, 0, 0};
TimerService gTimers = {nullptr, 0, PTHREAD_MUTEX_INITIALIZER, nullptr, nullptr, 0};

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
    uint32_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT32_MAX : sum;
}

uint32_t NowLow() {
    Uint64 now{};
    OdWrap__TimeGetMs(&now);
    return now.low;
}

uint32_t HandleOf(const TimerNode* node) {
    return ((node->generation & kGenerationMask) << kHandleIndexBits) | (node->index + 1);
}

uint32_t GrowthSizeLocked() {
    uint32_t count = gPool.initial;
    if (gPool.total != 0) {
        count = gPool.maximum == 0 ? gPool.increment
                                   : std::min(gPool.increment, gPool.maximum - gPool.total);
    }
    return std::min(count, kMaxRecords - gPool.total);
}

// Caller holds the mutex and the free list is empty. Blocks are never freed.
bool GrowLocked() {
    uint32_t count = GrowthSizeLocked();
    if (count == 0) return false;
    auto* nodes = new (std::nothrow) TimerNode[count]{};
    if (nodes == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        nodes[i].index = gPool.total + i;
        nodes[i].next = i + 1 < count ? &nodes[i + 1] : nullptr;
    }
    gPool.total += count;
    gTimers.freeHead = &nodes[0];
    gTimers.freeTail = &nodes[count - 1];
    return true;
}

TimerNode* TakeFreeLocked() {
    if (gTimers.freeHead == nullptr && !GrowLocked()) return nullptr;
    TimerNode* node = gTimers.freeHead;
    gTimers.freeHead = node->next;
    if (gTimers.freeHead == nullptr) gTimers.freeTail = nullptr;
    return node;
}

void AppendFreeLocked(TimerNode* node) {
    node->next = nullptr;
    if (gTimers.freeTail == nullptr) {
        gTimers.freeHead = node;
    } else {
        gTimers.freeTail->next = node;
    }
    gTimers.freeTail = node;
}

// The new node goes after every node expiring at the same moment, so equal
// expiries fire in start order.
void InsertLocked(TimerNode* node) {
    TimerNode** link = &gTimers.activeHead;
    while (*link != nullptr && node->delay >= (*link)->delay) {
        node->delay -= (*link)->delay;
        link = &(*link)->next;
    }
    node->next = *link;
    if (*link != nullptr) (*link)->delay -= node->delay;
    *link = node;
}

void EnterLocked() {
    if (++gTimers.reentry == 2) printf("\r\n reenter!!!!!!!!");
}

void FireLocked(const TimerNode* node) {
    if (node->callback != nullptr) {
        node->callback(node->argument);
    } else {
        VosQueueSend(node->queueId, node->argument);
    }
}

}  // namespace

// The timer mutex is statically initialised, so only the first pool growth is left to do.
uint32_t VosTimerInit(void) {
    MutexLock(&gTimers.mutex);
    bool ready = gPool.total != 0 || GrowLocked();  // a second init keeps the running service
    MutexUnlock(&gTimers.mutex);
    return ready ? 0u : uint32_t{eVOS_TMR_INIT_FAIL};
}

uint32_t VosTimerStart(uint32_t delayMs, uint32_t* handle, VosTimerCallback callback,
                       void* argument, uint32_t queueId, uint32_t periodic) {
    MutexLock(&gTimers.mutex);
    EnterLocked();
    TimerNode* node = TakeFreeLocked();
    if (node == nullptr) {
        gTimers.reentry = 0;
        MutexUnlock(&gTimers.mutex);
        return eVOS_TMR_NO_NODE;
    }
    node->next = nullptr;
    node->callback = callback;
    node->argument = argument;
    node->queueId = queueId;
    node->generation = (node->generation + 1) & kGenerationMask;
    if (handle != nullptr) *handle = HandleOf(node);
    uint32_t now = NowLow();
    uint32_t lag = (now < gTimers.lastTick || now - gTimers.lastTick > kMaxStartLagMs)
                       ? kMaxStartLagMs
                       : now - gTimers.lastTick;
    node->delay = SaturatingAdd(delayMs, lag);  // relative to the last tick
    node->period = (periodic != 0 && queueId == 0) ? delayMs : 0;
    InsertLocked(node);
    gTimers.reentry = 0;
    MutexUnlock(&gTimers.mutex);
    return 0;
}

uint32_t VosTimerStop(uint32_t handle) {
    MutexLock(&gTimers.mutex);
    EnterLocked();
    TimerNode** link = &gTimers.activeHead;
    while (*link != nullptr && HandleOf(*link) != handle) link = &(*link)->next;
    TimerNode* node = *link;
    if (node != nullptr) {
        *link = node->next;
        // The successor keeps its expiry time.
        if (node->next != nullptr) node->next->delay = SaturatingAdd(node->next->delay, node->delay);
        AppendFreeLocked(node);
    }
    gTimers.reentry = 0;
    MutexUnlock(&gTimers.mutex);
    return node != nullptr ? 0u : uint32_t{eVOS_TMR_NOT_FOUND};
}

uint32_t VosTimerElapsed(uint32_t previousTick, uint32_t newTick) {
    if (newTick < previousTick) return kTickMs;  // the clock word wrapped
    return std::min(newTick - previousTick, kMaxElapsedMs);
}

// Callbacks and queue posts run here with the timer mutex held: they must be
// short and must not start or stop timers.
void VosTimerTickAt(uint32_t nowLow) {
    MutexLock(&gTimers.mutex);
    uint32_t elapsed = VosTimerElapsed(gTimers.lastTick, nowLow);
    gTimers.lastTick = nowLow;
    while (gTimers.activeHead != nullptr) {
        TimerNode* head = gTimers.activeHead;
        if (head->delay > elapsed) {
            head->delay -= elapsed;
            break;
        }
        elapsed -= head->delay;
        gTimers.activeHead = head->next;
        FireLocked(head);
        if (head->period != 0) {
            // Next expiry one period after this tick; the loop takes off the remaining elapsed time.
            head->delay = SaturatingAdd(head->period, elapsed);
            head->next = nullptr;
            InsertLocked(head);
        } else {
            AppendFreeLocked(head);
        }
    }
    MutexUnlock(&gTimers.mutex);
}

void* VosTimerTask(void* argument) {
    (void)argument;
    MutexLock(&gTimers.mutex);
    gTimers.lastTick = NowLow();
    MutexUnlock(&gTimers.mutex);
    for (;;) {
        VosSleepMs(kTickMs);
        VosTimerTickAt(NowLow());
    }
    return nullptr;
}

size_t VosTimerDelays(uint32_t* delays, size_t max) {
    MutexLock(&gTimers.mutex);
    size_t count = 0;
    for (const TimerNode* node = gTimers.activeHead; node != nullptr; node = node->next) {
        if (delays != nullptr && count < max) delays[count] = node->delay;
        ++count;
    }
    MutexUnlock(&gTimers.mutex);
    return count;
}

void VosTimerPoolStats(uint32_t* freeCount, uint32_t* total) {
    MutexLock(&gTimers.mutex);
    uint32_t free = 0;
    for (const TimerNode* node = gTimers.freeHead; node != nullptr; node = node->next) ++free;
    if (freeCount != nullptr) *freeCount = free;
    if (total != nullptr) *total = gPool.total;
    MutexUnlock(&gTimers.mutex);
}

uint32_t VosTimerLastTick(void) {
    MutexLock(&gTimers.mutex);
    uint32_t tick = gTimers.lastTick;
    MutexUnlock(&gTimers.mutex);
    return tick;
}
