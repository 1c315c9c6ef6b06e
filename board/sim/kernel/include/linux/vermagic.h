/* Emulated kernel: the version magic modules are built for. */
#ifndef _LINUX_VERMAGIC_H
#define _LINUX_VERMAGIC_H

#include "../emu/kabi.h"

#define VERMAGIC_STRING EMU_VERMAGIC

#endif
