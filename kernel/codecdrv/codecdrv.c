/*
 * codecdrv: the VS1053b audio decoder on SSP0 (SPI master) with DMA,
 * offered as the misc device "vs10xx". Opening resets and sets up the chip,
 * every write streams MP3 bytes to its data interface (SDI) in 32-byte DMA
 * transfers paced by DREQ, and closing cancels decoding. The chip decodes
 * the stream by itself.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/delay.h>
#include <linux/dma-mapping.h>
#include <linux/semaphore.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <asm/uaccess.h>
#include <asm/io.h>
#include <mach/hardware.h>
#include <mach/dma.h>
#include <mach/dmac.h>

/* GPIO port 3: DREQ in, XCS, XDCS and XRESET out (active low) */
#define VS_GPIO_BASE		io_p2v(0x40028000)
#define P3_INP_STATE		(VS_GPIO_BASE + 0x000)
#define P3_OUTP_SET		(VS_GPIO_BASE + 0x004)
#define P3_OUTP_CLR		(VS_GPIO_BASE + 0x008)
#define P_MUX_SET		(VS_GPIO_BASE + 0x100)
#define P_MUX_STATE		(VS_GPIO_BASE + 0x108)
#define P3_MUX_CLR		(VS_GPIO_BASE + 0x114)

#define VS_DREQ			(1 << 2)
#define VS_XCS			(1 << 0)
#define VS_XDCS			(1 << 1)
#define VS_XRESET		(1 << 2)

/* SSP_CTRL: SSP0 clock and its DMA request lines */
#define SSP_CTRL		io_p2v(0x40004078)
#define SSP_CTRL_SSP0		0xD

/* SSP0, PrimeCell PL022 */
#define SSP0_PHYS		0x20084000UL
#define SSP0_BASE		io_p2v(SSP0_PHYS)
#define SSP_CR0			(SSP0_BASE + 0x00)
#define SSP_CR1			(SSP0_BASE + 0x04)
#define SSP_DR			(SSP0_BASE + 0x08)
#define SSP_SR			(SSP0_BASE + 0x0C)
#define SSP_CPSR		(SSP0_BASE + 0x10)
#define SSP_IMSC		(SSP0_BASE + 0x14)
#define SSP_ICR			(SSP0_BASE + 0x20)
#define SSP_DMACR		(SSP0_BASE + 0x24)
#define SSP_DR_PHYS		(SSP0_PHYS + 0x08)
#define SSP_SR_TFE		(1 << 0)
#define SSP_SR_RNE		(1 << 2)
#define SSP_SR_BSY		(1 << 4)
#define SSP_DMACR_TXDMAE	(1 << 1)
#define SSP_CR0_SPI_8BIT	0x1907	/* 8-bit SPI frames, mode 0, SCR 25 */
#define SSP_CR1_ENABLE		0x2	/* enabled, master */
#define SSP_IMSC_RX_ERRORS	0x3	/* receive overrun and time-out */
#define SSP_RX_FIFO_DEPTH	8

#define VS_DMA_CH		6
#define VS_DMA_BUF_SIZE		8192
#define VS_DMA_LIST_ENTRIES	3

#define VS_WRITE_MAX		4096
#define VS_CHUNK		32	/* what the chip takes per DREQ high */
#define VS_ZERO_FILL		1024
#define VS_DREQ_POLLS		10
#define VS_DREQ_RESETS_MAX	5	/* a chunk gives up after ~600 ms */
#define VS_RX_POLLS		10000
#define VS_IDLE_POLLS		2000	/* 2 us apart: 9 bytes take 36 us at 2 MHz */

/* SCI */
#define VS_SCI_WRITE		0x02
#define VS_SCI_READ		0x03
#define SCI_MODE		0x0
#define SCI_CLOCKF		0x3
#define SCI_MODE_RESET		0x0804	/* SM_SDINEW | SM_RESET */
#define SCI_MODE_CANCEL		0x0808	/* SM_SDINEW | SM_CANCEL */
#define SCI_CLOCKF_VALUE	0x8800	/* x3.5, +1.0, 12.288 MHz crystal */

#define VS10XX_MINOR		123

struct vs10xx_drv {
	u8 opened;
	u8 busy;
	u8 txError;		/* the last transfer ended with a DMA error */
	s32 txLen;
	void *dmaBuf;
	dma_addr_t dmaBufBus;
	u8 *txBuf;
	u8 *rxBuf;
	dma_addr_t txBufBus;
	struct dma_config dmaCfg;
	struct semaphore txDone;
	u8 dmaReady;		/* channel, list, buffer and txDone exist */
};

static struct vs10xx_drv vs10xx_drv;
static u8 gBuffer[VS_WRITE_MAX];

/* File operations share gBuffer, txBuf and the chip: one at a time. */
static DECLARE_MUTEX(vs10xx_lock);

static inline void vs_lines_low(u32 mask)
{
	__raw_writel(mask, P3_OUTP_CLR);
}

static inline void vs_lines_high(u32 mask)
{
	__raw_writel(mask, P3_OUTP_SET);
}

static inline int vs_dreq(void)
{
	return (__raw_readl(P3_INP_STATE) & VS_DREQ) != 0;
}

static void vs10xx_hw_reset(void)
{
	vs_lines_low(VS_XRESET);
	msleep(10);
	vs_lines_high(VS_XRESET);
	msleep(10);
}

/* 1 when DREQ is high; after about 100 ms low, resets the chip and gives 0. */
static int vs10xx_check_dreq(void)
{
	int i;

	for (i = 0; i < VS_DREQ_POLLS; i++) {
		if (vs_dreq())
			return 1;
		msleep(10);
	}
	printk("<6>vs10xx dreq time out , reset the chip.\n");
	vs10xx_hw_reset();
	return 0;
}

static void vs10xx_drain_rx(void)
{
	int i;

	for (i = 0; i < 8 * SSP_RX_FIFO_DEPTH; i++) {
		if (!(__raw_readl(SSP_SR) & SSP_SR_RNE))
			return;
		__raw_readl(SSP_DR);
	}
}

static u8 vs10xx_rx_byte(void)
{
	int i;

	for (i = 0; i < VS_RX_POLLS; i++) {
		if (__raw_readl(SSP_SR) & SSP_SR_RNE)
			return __raw_readl(SSP_DR) & 0xff;
		udelay(1);
	}
	return 0;
}

/*
 * The DMA completion only means the last byte has entered the transmit
 * FIFO: up to 8 more are still to be clocked out. A select raised before
 * the port is idle cuts them off, so every select waits for this first.
 * -EIO when the port never drains.
 */
static int vs10xx_ssp_idle(void)
{
	int i;

	for (i = 0; i < VS_IDLE_POLLS; i++) {
		if ((__raw_readl(SSP_SR) & (SSP_SR_BSY | SSP_SR_TFE)) == SSP_SR_TFE)
			return 0;
		udelay(2);
	}
	printk(KERN_ERR "vs10xx: SSP0 stays busy\n");
	return -EIO;
}

/*
 * Sends txLen bytes of txBuf to SSP0 and sleeps until the transfer is done;
 * -EIO when it never started or ended with a DMA error.
 */
static int vs10xx_dma_tx(struct vs10xx_drv *drv)
{
	drv->busy = 1;
	drv->txError = 0;
	__raw_writel(__raw_readl(SSP_DMACR) | SSP_DMACR_TXDMAE, SSP_DMACR);
	if (!lpc32xx_dma_queue_llist_entry(VS_DMA_CH,
					   (void *)(unsigned long)drv->txBufBus,
					   (void *)SSP_DR_PHYS, drv->txLen)) {
		drv->busy = 0;	/* never started: no completion will come */
		return -EIO;
	}
	down(&drv->txDone);
	return drv->txError ? -EIO : 0;
}

static void vs10xx_dma_spi_tx_irq(int ch, int cause, void *data)
{
	struct vs10xx_drv *drv = data;

	if (!cause)
		return;
	/* An error stops the channel short: the chip did not get the chunk. */
	drv->txError = (cause & DMA_ERR_INT) != 0;
	lpc32xx_dma_flush_llist(VS_DMA_CH);
	lpc32xx_dma_ch_disable(VS_DMA_CH);
	drv->busy = 0;
	up(&drv->txDone);
}

/* Selects the chip's SCI and sends one command; -EIO when it did not go. */
static int vs10xx_sci_begin(struct vs10xx_drv *drv, u8 op, u8 reg, u16 value)
{
	if (drv->busy)
		down(&drv->txDone);
	vs10xx_drain_rx();
	vs_lines_low(VS_XCS);
	drv->txBuf[0] = op;
	drv->txBuf[1] = reg;
	drv->txBuf[2] = value >> 8;
	drv->txBuf[3] = value & 0xff;
	drv->txLen = 4;
	return vs10xx_dma_tx(drv);
}

/* Waits for the command's last byte, then releases XCS. */
static int vs10xx_sci_end(int ret)
{
	if (vs10xx_ssp_idle() && !ret)
		ret = -EIO;
	vs_lines_high(VS_XCS);
	return ret;
}

/*
 * 1 when sent, 0 when DREQ timed out and nothing was sent, -EIO when the
 * command did not reach the chip.
 */
static int vs10xx_write_sci_register(struct vs10xx_drv *drv, u8 reg, u16 value)
{
	int ret;

	if (!vs10xx_check_dreq())
		return 0;
	ret = vs10xx_sci_end(vs10xx_sci_begin(drv, VS_SCI_WRITE, reg, value));
	if (ret)
		return ret;
	msleep(5);
	return 1;
}

static u16 vs10xx_read_sci_register(struct vs10xx_drv *drv, u8 reg)
{
	u8 rx[4];
	int i;

	if (!vs10xx_check_dreq()) {
		printk("<1>vs10xx_check_dreq is low\n");
		return 0;
	}
	if (vs10xx_sci_begin(drv, VS_SCI_READ, reg, 0xffff)) {
		vs10xx_sci_end(-EIO);
		return 0;
	}
	if (vs10xx_ssp_idle()) {	/* the answer never came in whole */
		vs_lines_high(VS_XCS);
		return 0;
	}
	msleep(5);
	for (i = 0; i < 4; i++)
		rx[i] = vs10xx_rx_byte();
	vs10xx_sci_end(0);
	return (rx[2] << 8) | rx[3];
}

/* DREQ for the next chunk; 0 when the chip stays dead through the resets. */
static int vs10xx_wait_dreq(void)
{
	int resets;

	for (resets = 0; resets < VS_DREQ_RESETS_MAX; resets++)
		if (vs10xx_check_dreq())
			return 1;
	return 0;
}

/* 0 for len 0, 1 when sent, -EIO when the chip stayed dead. */
static int vs10xx_write_sdi_data(struct vs10xx_drv *drv, const u8 *data,
				 int len)
{
	int done, n, ret = 1;

	if (len == 0)
		return 0;
	if (drv->busy)
		down(&drv->txDone);
	vs_lines_low(VS_XDCS);
	udelay(25);
	for (done = 0; done < len; done += n) {
		n = min(len - done, VS_CHUNK);
		memcpy(drv->txBuf, data + done, n);
		drv->txLen = n;
		/*
		 * DREQ promises room for 32 bytes beyond what the chip holds, not
		 * beyond the previous chunk's bytes still in the SSP FIFO: let
		 * those reach the chip before asking.
		 */
		if (done > 0 && vs10xx_ssp_idle()) {
			ret = -EIO;
			break;
		}
		if (!vs10xx_wait_dreq() || vs10xx_dma_tx(drv)) {
			ret = -EIO;
			break;
		}
	}
	if (vs10xx_ssp_idle())
		ret = -EIO;
	udelay(25);
	vs_lines_high(VS_XDCS);
	return ret;
}

/*
 * SM_CANCEL, then zeros so that the chip leaves the stream; -EIO when the
 * cancel did not reach the chip (the zeros would not end the stream then).
 */
static int vs10xx_cancel(struct vs10xx_drv *drv)
{
	if (vs10xx_write_sci_register(drv, SCI_MODE, SCI_MODE_CANCEL) < 0)
		return -EIO;
	memset(gBuffer, 0, sizeof(gBuffer));
	return vs10xx_write_sdi_data(drv, gBuffer, VS_ZERO_FILL);
}

static int vs10xx_open(struct inode *inode, struct file *filp)
{
	struct vs10xx_drv *drv = &vs10xx_drv;
	int ret = -EPERM;

	if (down_interruptible(&vs10xx_lock))
		return -ERESTARTSYS;
	if (drv->opened)
		goto out;
	if (!drv->dmaReady) {
		ret = -ENODEV;
		goto out;
	}
	ret = vs10xx_write_sci_register(drv, SCI_MODE, SCI_MODE_RESET);
	if (ret < 0)
		goto out;
	ret = -EPERM;
	if (!vs10xx_check_dreq())
		goto out;
	ret = vs10xx_write_sci_register(drv, SCI_CLOCKF, SCI_CLOCKF_VALUE);
	if (ret < 0)
		goto out;
	ret = -EPERM;
	if (!vs10xx_check_dreq())
		goto out;
	memset(gBuffer, 0, VS_ZERO_FILL);
	vs10xx_write_sdi_data(drv, gBuffer, VS_ZERO_FILL);
	drv->opened = 1;
	ret = 0;
out:
	up(&vs10xx_lock);
	return ret;
}

static int vs10xx_close(struct inode *inode, struct file *filp)
{
	struct vs10xx_drv *drv = &vs10xx_drv;
	int ret = -EPERM;

	down(&vs10xx_lock);
	if (drv->opened) {
		vs10xx_cancel(drv);
		drv->opened = 0;
		ret = 0;
	}
	up(&vs10xx_lock);
	return ret;
}

static ssize_t vs10xx_write(struct file *filp, const char __user *buf,
			    size_t count, loff_t *ppos)
{
	struct vs10xx_drv *drv = &vs10xx_drv;
	size_t n = min_t(size_t, count, VS_WRITE_MAX);
	ssize_t ret;

	if (down_interruptible(&vs10xx_lock))
		return -ERESTARTSYS;
	if (!buf) {
		ret = vs10xx_cancel(drv);
		if (ret >= 0)
			ret = VS_ZERO_FILL;
	} else if (n == 0) {
		ret = -EPERM;
	} else if (copy_from_user(gBuffer, buf, n)) {
		ret = -EFAULT;	/* nothing of a bad buffer reaches the chip */
	} else {
		ret = vs10xx_write_sdi_data(drv, gBuffer, n);
		if (ret >= 0)
			ret = n;
	}
	up(&vs10xx_lock);
	return ret;
}

static const struct file_operations vs10xx_fops = {
	.owner = THIS_MODULE,
	.open = vs10xx_open,
	.release = vs10xx_close,
	.write = vs10xx_write,
};

static struct miscdevice vs10xx_dev = {
	.minor = VS10XX_MINOR,
	.name = "vs10xx",
	.fops = &vs10xx_fops,
};

static void vs10xx_ssp_init(void)
{
	__raw_writel(__raw_readl(SSP_CTRL) | SSP_CTRL_SSP0, SSP_CTRL);
	__raw_readl(SSP_CTRL);
	__raw_writel(0x1600, P_MUX_SET);
	__raw_readl(P_MUX_STATE);
	__raw_writel(0, SSP_ICR);
	__raw_writel(SSP_IMSC_RX_ERRORS, SSP_IMSC);
	__raw_writel(SSP_CR0_SPI_8BIT, SSP_CR0);
	__raw_readl(SSP_CR0);
	__raw_writel(SSP_CR1_ENABLE, SSP_CR1);
	__raw_readl(SSP_CR1);
	__raw_writel(2, SSP_CPSR);
	vs10xx_drain_rx();
}

static void vs10xx_dma_config(struct dma_config *cfg)
{
	cfg->ch = VS_DMA_CH;
	cfg->tc_inten = 1;
	cfg->err_inten = 1;
	cfg->src_size = 1;
	cfg->src_inc = 1;
	cfg->src_ahb1 = 0;
	cfg->src_bsize = DMAC_CHAN_SRC_BURST_1;
	cfg->src_prph = DMAC_SRC_PERIP(DMA_PERID_SSP0_TX);
	cfg->dst_size = 1;
	cfg->dst_inc = 0;
	cfg->dst_ahb1 = 0;
	cfg->dst_bsize = DMAC_CHAN_DEST_BURST_1;
	cfg->dst_prph = DMAC_DEST_PERIP(DMA_PERID_SSP0_TX);
	cfg->flowctrl = DMAC_CHAN_FLOW_D_M2P;
}

static int vs10xx_dma_init(struct vs10xx_drv *drv)
{
	drv->dmaBuf = dma_alloc_coherent(NULL, VS_DMA_BUF_SIZE,
					 &drv->dmaBufBus, GFP_KERNEL);
	if (!drv->dmaBuf) {
		printk("<1>error getting DMA region.\n");
		return -ENOMEM;
	}
	drv->txBuf = drv->dmaBuf;
	drv->rxBuf = drv->dmaBuf;
	drv->txBufBus = drv->dmaBufBus;
	memset(drv->dmaBuf, 0, VS_DMA_BUF_SIZE);

	vs10xx_dma_config(&drv->dmaCfg);
	if (lpc32xx_dma_ch_get(&drv->dmaCfg, "dma_ssp_tx",
			       vs10xx_dma_spi_tx_irq, drv) < 0) {
		printk("<1>Error setting up SSP TX DMA channel\n");
		goto free_buf;
	}
	if (!lpc32xx_dma_alloc_llist(VS_DMA_CH, VS_DMA_LIST_ENTRIES)) {
		lpc32xx_dma_ch_put(drv->dmaCfg.ch);
		goto free_buf;
	}
	sema_init(&drv->txDone, 0);
	drv->dmaReady = 1;
	return 0;

free_buf:
	dma_free_coherent(NULL, VS_DMA_BUF_SIZE, drv->dmaBuf, drv->dmaBufBus);
	drv->dmaBuf = NULL;
	drv->txBuf = NULL;
	drv->rxBuf = NULL;
	return -ENODEV;
}

static void vs10xx_dma_exit(struct vs10xx_drv *drv)
{
	if (!drv->dmaReady)
		return;
	lpc32xx_dma_dealloc_llist(VS_DMA_CH);
	lpc32xx_dma_ch_put(drv->dmaCfg.ch);
	dma_free_coherent(NULL, VS_DMA_BUF_SIZE, drv->dmaBuf, drv->dmaBufBus);
	drv->dmaReady = 0;
}

static void vs10xx_lines_init(void)
{
	vs_lines_high(VS_XCS);
	__raw_writel(4, P3_MUX_CLR);
	vs_lines_high(VS_XDCS);
	vs_lines_high(VS_XRESET);
	vs_lines_high(VS_XCS);
	vs_lines_high(VS_XDCS);
	mdelay(25);
}

static int __init vs10xx_drv_init(void)
{
	struct vs10xx_drv *drv = &vs10xx_drv;
	int ret;

	memset(drv, 0, sizeof(*drv));
	vs10xx_ssp_init();
	if (vs10xx_dma_init(drv))
		printk("<1>init SPI DMA FAIL\n");
	vs10xx_lines_init();
	vs10xx_hw_reset();
	if (drv->dmaReady) {
		vs10xx_check_dreq();
		vs10xx_write_sci_register(drv, SCI_CLOCKF, SCI_CLOCKF_VALUE);
		vs10xx_check_dreq();
		/* Before registering: once the device is visible an open may
		 * use the chip and the DMA buffer, and the read-back holds no
		 * lock. */
		printk("<1> ReadVs10xxRegister(0) : 0x%x \n",
		       vs10xx_read_sci_register(drv, SCI_MODE));
		printk("<1> ReadVs10xxRegister(3) : 0x%x \n",
		       vs10xx_read_sci_register(drv, SCI_CLOCKF));
	}
	ret = misc_register(&vs10xx_dev);
	if (ret) {
		printk(KERN_ERR "vs10xx: cannot register the device (%d)\n",
		       ret);
		vs10xx_dma_exit(drv);
		return ret;
	}
	return 0;
}

static void __exit vs10xx_drv_exit(void)
{
	struct vs10xx_drv *drv = &vs10xx_drv;

	misc_deregister(&vs10xx_dev);
	vs10xx_dma_exit(drv);
	memset(drv, 0, sizeof(*drv));
}

module_init(vs10xx_drv_init);
module_exit(vs10xx_drv_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("User mode SPI device interface for vs1053b");
