/* Emulated kernel: files, inodes and file operations (what misc drivers use). */
#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include "types.h"
#include "kdev_t.h"

#define FMODE_READ ((fmode_t)1)
#define FMODE_WRITE ((fmode_t)2)

static inline unsigned iminor(const struct inode *inode)
{
	return MINOR(inode->i_rdev);
}

static inline unsigned imajor(const struct inode *inode)
{
	return MAJOR(inode->i_rdev);
}

#endif
