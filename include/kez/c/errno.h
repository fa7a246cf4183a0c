/* The engine's C library: errno and its values. */
#ifndef KEZ_C_ERRNO_H
#define KEZ_C_ERRNO_H

/* Some platforms' stddef.h define errno for their own run time, once: it
   is included first so that the engine's definition below wins, and the
   engine's headers that include stddef.h include this one after it. */
#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* errno: per thread. The engine's own values, the same on every platform. */
KEZ_API int *_GetErrno(void);
#undef errno
#define errno (*_GetErrno())
#define ENOENT 2
#define EIO 5
#define EBADF 9
#define ENOMEM 12
#define EACCES 13
#define EEXIST 17
#define EINVAL 22
#define EMFILE 24
#define ENOSPC 28
#define EDOM 33
#define ERANGE 34
#define ENAMETOOLONG 35
#define EILSEQ 42

KEZ_END_DECLS

#endif
