/*
 * Emulated kernel: register access through the static I/O map. The
 * accessors take a virtual address (an integer or a pointer, as on ARM) and
 * the emulated kernel routes it to the hardware models.
 */
#ifndef _ASM_IO_H
#define _ASM_IO_H

#include "../linux/types.h"

#define __raw_readl(a) emu_mmio_read32((const volatile void __iomem *)(unsigned long)(a))
#define __raw_writel(v, a) emu_mmio_write32((u32)(v), (volatile void __iomem *)(unsigned long)(a))
#define readl(a) __raw_readl(a)
#define writel(v, a) __raw_writel(v, a)
#define ioread32(a) __raw_readl(a)
#define iowrite32(v, a) __raw_writel(v, a)

#endif
