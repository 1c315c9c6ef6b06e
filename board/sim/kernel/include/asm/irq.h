/* Emulated kernel: interrupt numbers of the machine. */
#ifndef _ASM_IRQ_H
#define _ASM_IRQ_H

#include "../mach/irqs.h"

#endif
