/* Emulated kernel: LPC32xx interrupt numbers (main, SIC1 and SIC2 controllers). */
#ifndef __ASM_ARCH_IRQS_H
#define __ASM_ARCH_IRQS_H

#define IRQ_SSP0 20
#define IRQ_DMA 28
#define NR_IRQS 96

#endif
