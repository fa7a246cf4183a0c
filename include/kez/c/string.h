/* The engine's C library: strings and memory. */
#ifndef KEZ_C_STRING_H
#define KEZ_C_STRING_H

#include <stddef.h>

#include "errno.h"

#include "../kez_api.h"

KEZ_BEGIN_DECLS

KEZ_API char *strerror(int errnum) KEZ_CLIB_NAME(strerror);

/* Memory blocks. memmove copies correctly between overlapping blocks. */
KEZ_API void *memchr(const void *block, int c, size_t size) KEZ_CLIB_NAME(memchr);
KEZ_API int memcmp(const void *a, const void *b, size_t size) KEZ_CLIB_NAME(memcmp);
KEZ_API void *memcpy(void *dest, const void *src, size_t size) KEZ_CLIB_NAME(memcpy);
KEZ_API void *memmove(void *dest, const void *src, size_t size) KEZ_CLIB_NAME(memmove);
KEZ_API void *memset(void *dest, int c, size_t size) KEZ_CLIB_NAME(memset);

/* Strings. Comparisons order bytes as unsigned char. strtok keeps its
   position per thread. strcoll and strxfrm follow the "C" locale: strcoll
   compares as strcmp, strxfrm copies. */
KEZ_API char *strcat(char *dest, const char *src) KEZ_CLIB_NAME(strcat);
KEZ_API char *strchr(const char *text, int c) KEZ_CLIB_NAME(strchr);
KEZ_API int strcmp(const char *a, const char *b) KEZ_CLIB_NAME(strcmp);
KEZ_API int strcoll(const char *a, const char *b) KEZ_CLIB_NAME(strcoll);
KEZ_API char *strcpy(char *dest, const char *src) KEZ_CLIB_NAME(strcpy);
KEZ_API size_t strcspn(const char *text, const char *reject) KEZ_CLIB_NAME(strcspn);
KEZ_API size_t strlen(const char *text) KEZ_CLIB_NAME(strlen);
KEZ_API char *strncat(char *dest, const char *src, size_t count) KEZ_CLIB_NAME(strncat);
KEZ_API int strncmp(const char *a, const char *b, size_t count) KEZ_CLIB_NAME(strncmp);
KEZ_API char *strncpy(char *dest, const char *src, size_t count) KEZ_CLIB_NAME(strncpy);
KEZ_API char *strpbrk(const char *text, const char *accept) KEZ_CLIB_NAME(strpbrk);
KEZ_API char *strrchr(const char *text, int c) KEZ_CLIB_NAME(strrchr);
KEZ_API size_t strspn(const char *text, const char *accept) KEZ_CLIB_NAME(strspn);
KEZ_API char *strstr(const char *text, const char *pattern) KEZ_CLIB_NAME(strstr);
KEZ_API char *strtok(char *text, const char *delimiters) KEZ_CLIB_NAME(strtok);
KEZ_API size_t strxfrm(char *dest, const char *src, size_t size) KEZ_CLIB_NAME(strxfrm);
/* Case-insensitive comparisons: both sides through tolower. */
KEZ_API int stricmp(const char *a, const char *b);
KEZ_API int strnicmp(const char *a, const char *b, size_t count);

KEZ_END_DECLS

#endif
