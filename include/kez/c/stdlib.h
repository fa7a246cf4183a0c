/* The engine's C library: general utilities. */
#ifndef KEZ_C_STDLIB_H
#define KEZ_C_STDLIB_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* Dynamic memory from the engine's user heap: 16-byte-aligned blocks,
   checked on free. malloc(0) and calloc with a zero count or size give
   null; realloc(p, 0) frees p and gives null; realloc(NULL, n) allocates. */
KEZ_API void *malloc(size_t size) KEZ_CLIB_NAME(malloc);
KEZ_API void *calloc(size_t count, size_t size) KEZ_CLIB_NAME(calloc);
KEZ_API void *realloc(void *ptr, size_t size) KEZ_CLIB_NAME(realloc);
KEZ_API void free(void *ptr) KEZ_CLIB_NAME(free);

KEZ_END_DECLS

#endif
