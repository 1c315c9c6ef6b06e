/* Emulated kernel: coherent DMA memory (a CPU pointer and a bus address). */
#ifndef _LINUX_DMA_MAPPING_H
#define _LINUX_DMA_MAPPING_H

#include "types.h"
#include "gfp.h"

#endif
