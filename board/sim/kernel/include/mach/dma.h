/*
 * Emulated kernel: the LPC32xx DMA channel interface of the board's kernel
 * (a PL080 controller with eight channels). A channel is claimed with its
 * `struct dma_config` and a completion handler, given a linked list of
 * transfer entries, and fed entries; the handler runs in interrupt context
 * with the channel, a cause mask (DMA_TC_INT, DMA_ERR_INT) and the
 * claimant's data. The register field macros are in <mach/dmac.h>, as the
 * terminal's kernel tree splits them.
 */
#ifndef __ASM_ARCH_DMA_H
#define __ASM_ARCH_DMA_H

#include "../linux/types.h"

/* Handler causes, with the terminal's kernel values */
#define DMA_ERR_INT 1
#define DMA_TC_INT 2

/*
 * struct dma_config and the lpc32xx_dma_* channel calls are part of the
 * binary interface shared with the emulated kernel.
 */

#endif
