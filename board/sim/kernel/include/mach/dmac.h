/*
 * Emulated kernel: the LPC32xx DMA controller's register fields (PL080
 * channel configuration and control layouts) and its peripheral request
 * lines, as the terminal's kernel tree has them beside <mach/dma.h>.
 */
#ifndef __ASM_ARCH_DMAC_H
#define __ASM_ARCH_DMAC_H

/* Channel config fields (PL080 channel configuration layout) */
#define DMAC_SRC_PERIP(n) (((n) & 0xF) << 1)
#define DMAC_DEST_PERIP(n) (((n) & 0xF) << 6)
#define DMAC_CHAN_FLOW_D_M2M (0x0 << 11)
#define DMAC_CHAN_FLOW_D_M2P (0x1 << 11)
#define DMAC_CHAN_FLOW_D_P2M (0x2 << 11)

/* Burst sizes (PL080 channel control layout) */
#define DMAC_CHAN_SRC_BURST_1 (0x0 << 12)
#define DMAC_CHAN_SRC_BURST_4 (0x1 << 12)
#define DMAC_CHAN_DEST_BURST_1 (0x0 << 15)
#define DMAC_CHAN_DEST_BURST_4 (0x1 << 15)

/* Request lines */
#define DMA_PERID_SSP0_RX 14
#define DMA_PERID_SSP0_TX 15

#endif
