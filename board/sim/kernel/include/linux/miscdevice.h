/* Emulated kernel: misc character devices (major 10). */
#ifndef _LINUX_MISCDEVICE_H
#define _LINUX_MISCDEVICE_H

#include "fs.h"

#define MISC_MAJOR 10
#define MISC_DYNAMIC_MINOR 255

#endif
