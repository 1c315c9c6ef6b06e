// The levelled logger (threshold 2) and the module-masked logger, with the
// optional "%t" time prefix and the 2304-character line limit.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/od_log.h"
#include "runtime/odwrap.h"

namespace {

// Both settings are read by every task and changed only by hand: atomics
// keep those reads race-free without a lock on the logging path.
std::atomic<uint32_t> gLogThreshold{2};
std::array<std::atomic<uint32_t>, kVosLogModules> gModuleMasks{};

// Formats one line into the caller's own buffer and writes it with one puts,
// so lines from different tasks never interleave within a line.
void WriteLine(const char* format, va_list args) {
    std::array<char, kOdLogLineMax + 1> line{};
    size_t used = 0;
    if (format[0] == '%' && format[1] == 't') {
        Uint64 now{};
        OdWrap__TimeGetMs(&now);
        int n = snprintf(line.data(), line.size(), "TH%uL%u:", now.high, now.low);
        used = n > 0 ? static_cast<size_t>(n) : 0;
        format += 2;
    }
    if (used < kOdLogLineMax) {
        vsnprintf(line.data() + used, line.size() - used, format, args);
    }
    puts(line.data());
    fflush(stdout);
}

}  // namespace

void OdWrap__Log(uint32_t level, const char* format, ...) {
    if (format == nullptr || level < gLogThreshold.load(std::memory_order_relaxed)) {
        return;
    }
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
}

void VosLog(uint32_t module, uint32_t mask, const char* format, ...) {
    if (format == nullptr || module >= kVosLogModules) {
        return;
    }
    if ((gModuleMasks[module].load(std::memory_order_relaxed) & mask) == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
}

uint32_t OdWrap__LogThreshold(void) { return gLogThreshold.load(std::memory_order_relaxed); }

void OdWrap__SetLogThreshold(uint32_t level) {
    gLogThreshold.store(level, std::memory_order_relaxed);
}

void VosLogSetMask(uint32_t module, uint32_t mask) {
    if (module < kVosLogModules) {
        gModuleMasks[module].store(mask, std::memory_order_relaxed);
    }
}

void OS_ERROR(int32_t err) { OdWrap__Log(2, "OS_ERROR: (err=%d)\n", err); }

void OS_LOG(int32_t err, const char* text) {
    const char* safeText = text != nullptr ? text : "";
    if (err != 0) {
        OdWrap__Log(1, "OS_LOG: (err=%d) %s", err, safeText);
    } else {
        OdWrap__Log(1, "OS_LOG: %s", safeText);
    }
}
