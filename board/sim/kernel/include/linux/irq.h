/* Emulated kernel: interrupt trigger types. */
#ifndef _LINUX_IRQ_H
#define _LINUX_IRQ_H

#include "types.h"
#include "../asm/irq.h"

#define IRQ_TYPE_NONE 0x00000000
#define IRQ_TYPE_EDGE_RISING 0x00000001
#define IRQ_TYPE_EDGE_FALLING 0x00000002
#define IRQ_TYPE_EDGE_BOTH (IRQ_TYPE_EDGE_FALLING | IRQ_TYPE_EDGE_RISING)
#define IRQ_TYPE_LEVEL_HIGH 0x00000004
#define IRQ_TYPE_LEVEL_LOW 0x00000008

#endif
