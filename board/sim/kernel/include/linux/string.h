/* Emulated kernel: memory and string functions. */
#ifndef _LINUX_STRING_H
#define _LINUX_STRING_H

#include "types.h"
#include "../asm/string.h"

void *memset(void *s, int c, size_t n);
void *memcpy(void *dest, const void *src, size_t n);
int memcmp(const void *a, const void *b, size_t n);
size_t strlen(const char *s);
int strcmp(const char *a, const char *b);

#endif
