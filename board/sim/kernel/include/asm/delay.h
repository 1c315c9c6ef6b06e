/*
 * Emulated kernel: busy-wait delays as ARM has them. A constant delay above
 * 2 ms fails to link (__bad_udelay is never defined), as it does on ARM.
 */
#ifndef _ASM_DELAY_H
#define _ASM_DELAY_H

#include "../emu/kabi.h"

#define MAX_UDELAY_MS 2

extern void __bad_udelay(void);

#define udelay(n) \
	(__builtin_constant_p(n) ? \
		((n) > (MAX_UDELAY_MS * 1000) ? __bad_udelay() : __udelay(n)) : \
		__udelay(n))

#endif
