/*
 * Emulated kernel: module entry points and information. The build defines
 * KBUILD_MODNAME as the module's bare name; module_init, module_exit and
 * MODULE_* then define symbols named after it (__emu_init_codecdrv, ...),
 * through which the emulated kernel loads the module and lists it.
 */
#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include "kernel.h"
#include "init.h"

#ifndef KBUILD_MODNAME
#error "KBUILD_MODNAME names the module being built"
#endif

#define __EMU_CAT2(a, b) a##b
#define __EMU_CAT(a, b) __EMU_CAT2(a, b)
#define __EMU_STR2(x) #x
#define __EMU_STR(x) __EMU_STR2(x)
#define __EMU_MODSYM(prefix) __EMU_CAT(prefix, KBUILD_MODNAME)

static struct module __this_module __attribute__((unused)) = {
	.name = __EMU_STR(KBUILD_MODNAME),
};
#define THIS_MODULE (&__this_module)

#define module_init(initfn) \
	int __EMU_MODSYM(__emu_init_)(void); \
	int __EMU_MODSYM(__emu_init_)(void) { return initfn(); } \
	struct module *__EMU_MODSYM(__emu_module_)(void); \
	struct module *__EMU_MODSYM(__emu_module_)(void) { return THIS_MODULE; }

#define module_exit(exitfn) \
	void __EMU_MODSYM(__emu_exit_)(void); \
	void __EMU_MODSYM(__emu_exit_)(void) { exitfn(); }

#define MODULE_LICENSE(text) const char __EMU_MODSYM(__emu_license_)[] = text
#define MODULE_DESCRIPTION(text) const char __EMU_MODSYM(__emu_description_)[] = text
#define MODULE_AUTHOR(text) const char __EMU_MODSYM(__emu_author_)[] = text
#define MODULE_ALIAS(text)
#define MODULE_VERSION(text)
#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)

#endif
