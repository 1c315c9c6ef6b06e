/*
 * ctrldrv: the control device "nOrv_ctrl", through which the player
 * registers the process that is to receive kernel events, and the RF remote
 * receiver: each rising edge of its interrupt line sends the 4-bit key code
 * on four GPIO inputs to that process as a netlink event (type 2). The
 * netlink transport is the netlink event module's, which is loaded first.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/interrupt.h>
#include <linux/irq.h>
#include <linux/ioctl.h>
#include <linux/errno.h>
#include <asm/uaccess.h>
#include <asm/io.h>
#include <mach/hardware.h>

#define CTRL_MINOR			124
#define RF_DETECT_IRQ			90
#define EVENT_TYPE_RF_KEY		2

#define IOCTL_NORV_CTRL_TYPE		'x'
#define IOCTL_NORV_CTRL_SET_USER_PID	_IOW(IOCTL_NORV_CTRL_TYPE, 0, int)

#define P3_INP_STATE			io_p2v(0x40028000)

/* Exported by the netlink event module. */
extern void SetNetLinkUserPid(int pid);
extern int SendEventToUserSpaceByNetLink(unsigned char type,
					 unsigned char value);

struct gpio_ctrl {
	u32 mask;
	void __iomem *reg;
};

/* Key code bits 0 to 3, in order. */
static const struct gpio_ctrl gpio_ctrl_table[] = {
	{ 0x00000020, (void __iomem *)P3_INP_STATE },
	{ 0x00000080, (void __iomem *)P3_INP_STATE },
	{ 0x00000008, (void __iomem *)P3_INP_STATE },
	{ 0x00400000, (void __iomem *)P3_INP_STATE },
};

static u16 userCnt;
static s32 UserPid;
/* What load obtained, so that unload gives back only that. */
static u8 ctrl_irq_requested;
static u8 ctrl_dev_registered;

static int ctrl_open(struct inode *inode, struct file *filp)
{
	if (userCnt)
		return -EPERM;
	userCnt = 1;
	return 0;
}

static int ctrl_release(struct inode *inode, struct file *filp)
{
	if (userCnt)
		userCnt--;
	return 0;
}

static ssize_t ctrl_write(struct file *filp, const char __user *buf,
			  size_t count, loff_t *ppos)
{
	return 0;
}

static int ctrl_ioctl(struct inode *inode, struct file *filp,
		      unsigned int cmd, unsigned long arg)
{
	if (_IOC_TYPE(cmd) != IOCTL_NORV_CTRL_TYPE || _IOC_NR(cmd) != 0)
		return -ENOTTY;
	if (cmd != IOCTL_NORV_CTRL_SET_USER_PID)
		return -EINVAL;
	/* An unreadable argument registers nobody. */
	if (copy_from_user(&UserPid, (const void __user *)arg, sizeof(UserPid)))
		UserPid = 0;
	SetNetLinkUserPid(UserPid);
	return 0;
}

static irqreturn_t Norv_ctrl_rf_handle(int irq, void *dev_id)
{
	unsigned char code = 0;
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(gpio_ctrl_table); i++) {
		const struct gpio_ctrl *bit = &gpio_ctrl_table[i];

		if (__raw_readl(bit->reg) & bit->mask)
			code |= 1 << i;
	}
	SendEventToUserSpaceByNetLink(EVENT_TYPE_RF_KEY, code);
	return IRQ_HANDLED;
}

static const struct file_operations drv_fops = {
	.owner = THIS_MODULE,
	.open = ctrl_open,
	.release = ctrl_release,
	.write = ctrl_write,
	.ioctl = ctrl_ioctl,
};

static struct miscdevice ctrl_dev = {
	.minor = CTRL_MINOR,
	.name = "nOrv_ctrl",
	.fops = &drv_fops,
};

static int __init ctrl_init(void)
{
	int ret;

	userCnt = 0;
	UserPid = 0;
	set_irq_type(RF_DETECT_IRQ, IRQ_TYPE_EDGE_RISING);
	ret = request_irq(RF_DETECT_IRQ, Norv_ctrl_rf_handle, IRQF_DISABLED,
			  "Norv ctrl RF detect", NULL);
	if (ret == 0) {
		ctrl_irq_requested = 1;
		set_irq_wake(RF_DETECT_IRQ, 1);
	} else {
		printk(KERN_ERR "nOrv_ctrl: no RF detect interrupt (%d)\n",
		       ret);
	}
	ret = misc_register(&ctrl_dev);
	if (ret == 0)
		ctrl_dev_registered = 1;
	else
		printk(KERN_ERR "nOrv_ctrl: cannot register the device (%d)\n",
		       ret);
	return 0;
}

static void __exit ctrl_exit(void)
{
	if (ctrl_irq_requested) {
		/* the wake flag stays with the line after free_irq */
		set_irq_wake(RF_DETECT_IRQ, 0);
		disable_irq(RF_DETECT_IRQ);
		free_irq(RF_DETECT_IRQ, NULL);
		ctrl_irq_requested = 0;
	}
	if (ctrl_dev_registered) {
		misc_deregister(&ctrl_dev);
		ctrl_dev_registered = 0;
	}
	SetNetLinkUserPid(0);
}

module_init(ctrl_init);
module_exit(ctrl_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("User mode Norva player device interface");
