/* Emulated kernel: printk and its levels, and the small helpers. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include "stddef.h"
#include "types.h"

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))

#define min(x, y) ({ typeof(x) _min1 = (x); typeof(y) _min2 = (y); (void)(&_min1 == &_min2); \
	_min1 < _min2 ? _min1 : _min2; })
#define max(x, y) ({ typeof(x) _max1 = (x); typeof(y) _max2 = (y); (void)(&_max1 == &_max2); \
	_max1 > _max2 ? _max1 : _max2; })
#define min_t(type, x, y) ({ type __min1 = (x); type __min2 = (y); __min1 < __min2 ? __min1 : __min2; })

#define container_of(ptr, type, member) ({ \
	const typeof(((type *)0)->member) *__mptr = (ptr); \
	(type *)((char *)__mptr - offsetof(type, member)); })

#endif
