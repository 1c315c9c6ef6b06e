/* Emulated kernel: counting semaphores. */
#ifndef _LINUX_SEMAPHORE_H
#define _LINUX_SEMAPHORE_H

#include "types.h"

#define __SEMAPHORE_INITIALIZER(name, n) { .count = (n) }
#define DECLARE_MUTEX(name) struct semaphore name = __SEMAPHORE_INITIALIZER(name, 1)
#define init_MUTEX(sem) sema_init(sem, 1)
#define init_MUTEX_LOCKED(sem) sema_init(sem, 0)

#endif
