/*
 * The emulated kernel's binary interface: the structures and functions that
 * cross between the kernel modules (C, compiled against the Linux-named
 * headers beside this directory) and the emulated kernel (C++). Both sides
 * include this file; it defines no function-like macros and uses no names
 * that clash with the host's headers. The Linux-named headers add the
 * kernel's own type names, macros and inline functions on top.
 */
#ifndef EMU_KABI_H
#define EMU_KABI_H

#ifdef __cplusplus
extern "C" {
#endif

#define EMU_VERMAGIC "2.6.27.8 preempt mod_unload modversions ARMv5"

typedef __SIZE_TYPE__ emu_size_t;
typedef long emu_ssize_t;
typedef long long emu_loff_t;
typedef unsigned char emu_u8;
typedef unsigned short emu_u16;
typedef unsigned int emu_u32;
typedef unsigned long long emu_u64;
typedef emu_u32 emu_dma_addr_t;
typedef unsigned int emu_gfp_t;
typedef unsigned int emu_dev_t;
typedef unsigned int emu_fmode_t;

/* Modules */
struct module {
	const char *name;
};

/* Files: what the two misc drivers use of them */
struct inode {
	emu_dev_t i_rdev;
};

struct file;

struct file_operations {
	struct module *owner;
	emu_loff_t (*llseek)(struct file *, emu_loff_t, int);
	emu_ssize_t (*read)(struct file *, char *, emu_size_t, emu_loff_t *);
	emu_ssize_t (*write)(struct file *, const char *, emu_size_t, emu_loff_t *);
	unsigned int (*poll)(struct file *, void *);
	int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	int (*open)(struct inode *, struct file *);
	int (*release)(struct inode *, struct file *);
};

struct file {
	const struct file_operations *f_op;
	unsigned int f_flags;
	emu_fmode_t f_mode;
	emu_loff_t f_pos;
	void *private_data;
};

struct list_head {
	struct list_head *next, *prev;
};

struct device;

struct miscdevice {
	int minor;
	const char *name;
	const struct file_operations *fops;
	struct list_head list;
	struct device *parent;
	struct device *this_device;
};

int misc_register(struct miscdevice *misc);
int misc_deregister(struct miscdevice *misc);

/* Log */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Semaphores: count is only touched by these functions, under one lock */
struct semaphore {
	int count;
};

void sema_init(struct semaphore *sem, int val);
void down(struct semaphore *sem);
int down_interruptible(struct semaphore *sem);
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);

/* Delays */
void msleep(unsigned int msecs);
void __udelay(unsigned long usecs);

/* User memory */
int emu_access_ok(int type, const void *addr, unsigned long size);
unsigned long __copy_from_user(void *to, const void *from, unsigned long n);
unsigned long __copy_to_user(void *to, const void *from, unsigned long n);
void __memzero(void *ptr, emu_size_t n);

/* Registers, by virtual address of the static I/O map */
emu_u32 emu_mmio_read32(const volatile void *addr);
void emu_mmio_write32(emu_u32 value, volatile void *addr);

/* Coherent DMA memory */
void *dma_alloc_coherent(struct device *dev, emu_size_t size, emu_dma_addr_t *handle, emu_gfp_t gfp);
void dma_free_coherent(struct device *dev, emu_size_t size, void *cpu_addr, emu_dma_addr_t handle);

/* Interrupts */
typedef int emu_irqreturn_t;
typedef emu_irqreturn_t (*emu_irq_handler_t)(int, void *);

int request_irq(unsigned int irq, emu_irq_handler_t handler, unsigned long flags, const char *name, void *dev_id);
void free_irq(unsigned int irq, void *dev_id);
void disable_irq(unsigned int irq);
void disable_irq_nosync(unsigned int irq);
void enable_irq(unsigned int irq);
int set_irq_type(unsigned int irq, unsigned int type);
int set_irq_wake(unsigned int irq, unsigned int on);
int emu_in_interrupt(void);

/* The LPC32xx DMA channel interface */
struct dma_config {
	int ch;			/* channel 0..7 */
	int tc_inten;		/* terminal count interrupt */
	int err_inten;		/* error interrupt */
	int src_size;		/* source width in bytes: 1, 2 or 4 */
	int src_inc;		/* source address increments */
	int src_ahb1;		/* source on AHB1 (else AHB0) */
	int src_bsize;		/* source burst, control word bits */
	emu_u32 src_prph;	/* source peripheral, channel config bits */
	int dst_size;
	int dst_inc;
	int dst_ahb1;
	int dst_bsize;
	emu_u32 dst_prph;
	emu_u32 flowctrl;	/* flow control, channel config bits */
};

typedef void (*lpc32xx_dma_handler_t)(int ch, int cause, void *data);

int lpc32xx_dma_ch_get(struct dma_config *dmachcfg, const char *name, lpc32xx_dma_handler_t irq_handler, void *data);
int lpc32xx_dma_ch_put(int ch);
emu_u32 lpc32xx_dma_alloc_llist(int ch, int entries);
void lpc32xx_dma_dealloc_llist(int ch);
emu_u32 lpc32xx_dma_queue_llist_entry(int ch, void *src, void *dst, int size);
emu_u32 lpc32xx_dma_flush_llist(int ch);
void lpc32xx_dma_ch_enable(int ch);
void lpc32xx_dma_ch_disable(int ch);

/* The netlink event module (outside the system; stood in for here) */
void SetNetLinkUserPid(int pid);
int SendEventToUserSpaceByNetLink(unsigned char type, unsigned char value);

#ifdef __cplusplus
}
#endif

#endif /* EMU_KABI_H */
