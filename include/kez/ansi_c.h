/* The engine's ANSI C library. User programs that include this header call
   the engine's functions under their standard names (on Linux through the
   kez_ link names, see KEZ_CLIB_NAME). Self-contained: it takes nothing from
   the host C library's headers. */
#ifndef KEZ_ANSI_C_H
#define KEZ_ANSI_C_H

#include <stddef.h> /* size_t: the compiler's own freestanding header */

#include "kez/kez_api.h"

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
