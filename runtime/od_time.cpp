// The wrapper's clock: the monotonic time base read at start-up, milliseconds
// since then as a Uint64, and sleeping with select.
#include <sys/select.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "runtime/od_internal.h"
#include "runtime/od_log.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

constexpr int32_t kUsPerSecond = 1000000;

// Written once at start-up, read by every task: atomics keep the reads race-free.
std::atomic<int32_t> gBaseSeconds{0};
std::atomic<int32_t> gBaseMicros{0};

void ReadMonotonic(int32_t* seconds, int32_t* micros) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    *seconds = static_cast<int32_t>(now.tv_sec);
    *micros = static_cast<int32_t>(now.tv_nsec / 1000);
}

}  // namespace

void OdTimeBaseSet(void) {
    int32_t seconds = 0;
    int32_t micros = 0;
    ReadMonotonic(&seconds, &micros);
    gBaseSeconds.store(seconds);
    gBaseMicros.store(micros);
}

void OdWrap__TimeGetMs(Uint64* now) {
    if (now == nullptr) return;
    int32_t seconds = 0;
    int32_t micros = 0;
    ReadMonotonic(&seconds, &micros);
    seconds -= gBaseSeconds.load();
    micros -= gBaseMicros.load();
    while (micros < 0) {
        micros += kUsPerSecond;
        --seconds;
    }
    while (micros > kUsPerSecond - 1) {
        micros -= kUsPerSecond;
        ++seconds;
    }
    Uint64 ms = Uint64Multiply(Uint64{0, static_cast<uint32_t>(seconds)}, 1000);
    *now = Uint64Add(ms, Uint64{0, static_cast<uint32_t>(micros / 1000)});
}

int32_t VosSleepMs(uint32_t ms) {
    timeval timeout{};
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    // Linux leaves the remaining time in timeout, so a signal does not cut the sleep short.
    while (select(0, nullptr, nullptr, nullptr, &timeout) < 0 && errno == EINTR) {
    }
    return 0;
}
