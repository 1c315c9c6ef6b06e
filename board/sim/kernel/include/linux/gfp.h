/* Emulated kernel: allocation flags. */
#ifndef _LINUX_GFP_H
#define _LINUX_GFP_H

#include "types.h"

#define __GFP_WAIT ((gfp_t)0x10u)
#define __GFP_HIGH ((gfp_t)0x20u)
#define __GFP_IO ((gfp_t)0x40u)
#define __GFP_FS ((gfp_t)0x80u)
#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)

#endif
