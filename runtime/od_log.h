// The runtime layer's two loggers (levelled and module-masked) and its 64-bit
// arithmetic on Uint64 values, which reports overflow.
#ifndef PATERM_RUNTIME_OD_LOG_H
#define PATERM_RUNTIME_OD_LOG_H

#include <cstdint>

#include "runtime/od_types.h"

constexpr uint32_t kOdLogLineMax = 2304;
constexpr uint32_t kVosLogModules = 32;
constexpr uint32_t kVosModuleRuntime = 14;

// Prints when level >= the threshold (initially 2).
void OdWrap__Log(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Prints when the module's mask has a bit in common with mask.
void VosLog(uint32_t module, uint32_t mask, const char* format, ...) __attribute__((format(printf, 3, 4)));

uint32_t OdWrap__LogThreshold(void);
void OdWrap__SetLogThreshold(uint32_t level);
void VosLogSetMask(uint32_t module, uint32_t mask);

void OS_ERROR(int32_t err);
void OS_LOG(int32_t err, const char* text);

Uint64 Uint64Add(Uint64 a, Uint64 b);
Uint64 Uint64Multiply(Uint64 a, uint32_t m);
Uint64 Uint64Divide(Uint64 a, uint32_t d);

#endif  // PATERM_RUNTIME_OD_LOG_H
