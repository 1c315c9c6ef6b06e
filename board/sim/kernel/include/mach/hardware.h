/*
 * Emulated kernel: the LPC32xx static I/O map. Physical 0xAB.xxxxx (the
 * low 20 bits kept) is seen at virtual 0xF0000000 | 0xAB00000 | xxxxx, so
 * 0x40028000 at 0xF4028000 and 0x20084000 at 0xF2084000.
 */
#ifndef __ASM_ARCH_HARDWARE_H
#define __ASM_ARCH_HARDWARE_H

#define io_p2v(x) (0xf0000000UL | ((((unsigned long)(x)) & 0xff000000UL) >> 4) | \
		   (((unsigned long)(x)) & 0x000fffffUL))
#define io_v2p(x) (((((unsigned long)(x)) & 0x0ff00000UL) << 4) | (((unsigned long)(x)) & 0x000fffffUL))
#define IO_ADDRESS(x) io_p2v(x)

#endif
