/* Emulated kernel: ARM's zeroing helper. */
#ifndef _ASM_STRING_H
#define _ASM_STRING_H

#include "../emu/kabi.h"

#endif
