/*
 * Emulated kernel: interrupt handlers. Handlers run on the emulated
 * interrupt thread, one at a time, with interrupts disabled: a handler must
 * not sleep (msleep, down and user copies report it loudly there).
 */
#ifndef _LINUX_INTERRUPT_H
#define _LINUX_INTERRUPT_H

#include "types.h"
#include "../asm/irq.h"

typedef emu_irqreturn_t irqreturn_t;
typedef emu_irq_handler_t irq_handler_t;

#define IRQ_NONE (0)
#define IRQ_HANDLED (1)
#define IRQ_RETVAL(x) ((x) != 0)

#define IRQF_TRIGGER_NONE 0x00000000
#define IRQF_TRIGGER_RISING 0x00000001
#define IRQF_TRIGGER_FALLING 0x00000002
#define IRQF_TRIGGER_HIGH 0x00000004
#define IRQF_TRIGGER_LOW 0x00000008
#define IRQF_DISABLED 0x00000020
#define IRQF_SAMPLE_RANDOM 0x00000040
#define IRQF_SHARED 0x00000080

#define in_interrupt() emu_in_interrupt()
#define in_irq() emu_in_interrupt()

static inline int enable_irq_wake(unsigned int irq)
{
	return set_irq_wake(irq, 1);
}

static inline int disable_irq_wake(unsigned int irq)
{
	return set_irq_wake(irq, 0);
}

#endif
