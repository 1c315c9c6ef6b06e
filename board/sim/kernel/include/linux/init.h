/* Emulated kernel: section markers for init and exit code (nothing here). */
#ifndef _LINUX_INIT_H
#define _LINUX_INIT_H

#define __init
#define __exit
#define __initdata
#define __exitdata
#define __devinit
#define __devexit

#endif
