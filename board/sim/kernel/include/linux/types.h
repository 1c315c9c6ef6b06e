/* Emulated kernel: the kernel's integer and handle types. */
#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

#include "../emu/kabi.h"
#include "compiler.h"

typedef signed char s8;
typedef unsigned char u8;
typedef signed short s16;
typedef unsigned short u16;
typedef signed int s32;
typedef unsigned int u32;
typedef signed long long s64;
typedef unsigned long long u64;
typedef u8 __u8;
typedef u16 __u16;
typedef u32 __u32;
typedef s32 __s32;
typedef u64 __u64;

typedef emu_size_t size_t;
typedef emu_ssize_t ssize_t;
typedef emu_loff_t loff_t;
typedef emu_dma_addr_t dma_addr_t;
typedef emu_gfp_t gfp_t;
typedef emu_dev_t dev_t;
typedef emu_fmode_t fmode_t;
typedef int pid_t;

typedef _Bool bool;
enum {
	false = 0,
	true = 1
};

#ifndef NULL
#define NULL ((void *)0)
#endif

#endif
