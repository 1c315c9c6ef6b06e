/*
 * Emulated kernel: copies between kernel and user memory, as ARM inlines
 * them. access_ok accepts a range only inside the calling task's mapped
 * user memory (on the terminal it checks the address limit and a copy from
 * an unmapped page faults; the outcome for a driver is the same).
 * __copy_from_user copies what it can and zeroes the rest, returning the
 * number of bytes not copied.
 */
#ifndef _ASM_UACCESS_H
#define _ASM_UACCESS_H

#include "../linux/types.h"

#define VERIFY_READ 0
#define VERIFY_WRITE 1

#define access_ok(type, addr, size) \
	emu_access_ok((type), (const void *)(unsigned long)(addr), (unsigned long)(size))

static inline unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
	if (access_ok(VERIFY_READ, from, n))
		n = __copy_from_user(to, from, n);
	else
		__memzero(to, n);
	return n;
}

static inline unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	if (access_ok(VERIFY_WRITE, to, n))
		n = __copy_to_user(to, from, n);
	return n;
}

#endif
