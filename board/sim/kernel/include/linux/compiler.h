/* Emulated kernel: address-space annotations and branch hints. */
#ifndef _LINUX_COMPILER_H
#define _LINUX_COMPILER_H

#define __user
#define __kernel
#define __iomem
#define __force
#define __must_check __attribute__((warn_unused_result))
#define __always_inline inline __attribute__((always_inline))
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define barrier() __asm__ __volatile__("" : : : "memory")

#endif
