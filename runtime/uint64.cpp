// 64-bit millisecond arithmetic on Uint64 word pairs. Exact 64-bit native
// arithmetic gives the results of the original 16-bit-digit routines.
#include <cstdio>

#include "runtime/od_log.h"

namespace {

uint64_t ToNative(Uint64 value) {
    return (static_cast<uint64_t>(value.high) << 32) | value.low;
}

Uint64 FromNative(uint64_t value) {
    return Uint64{static_cast<uint32_t>(value >> 32), static_cast<uint32_t>(value)};
}

}  // namespace

Uint64 Uint64Add(Uint64 a, Uint64 b) {
    uint64_t sum = 0;
    if (__builtin_add_overflow(ToNative(a), ToNative(b), &sum)) {
        // The first pair really has no "L": the console text is kept as operators know it.
        printf("Uint64Add(): Overflow: H%u%u + H%uL%u.\n", a.high, a.low, b.high, b.low);
    }
    return FromNative(sum);
}

Uint64 Uint64Multiply(Uint64 a, uint32_t m) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(ToNative(a), static_cast<uint64_t>(m), &product)) {
        printf("Uint64Multiply(): Overflow: H%uL%u * M%u.\n", a.high, a.low, m);
    }
    return FromNative(product);
}

Uint64 Uint64Divide(Uint64 a, uint32_t d) {
    if (d == 0) {
        OdWrap__Log(1, "Uint64Divide(): Divide by zero.\n");
        return Uint64{0, 0};
    }
    return FromNative(ToNative(a) / d);
}
