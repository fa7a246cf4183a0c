/* The engine's C library: POSIX-style handles, shared with the formatting and I/O
   library's files: 0, 1 and 2 are the standard input, output and error. */
#ifndef KEZ_C_IO_H
#define KEZ_C_IO_H

#include "fcntl.h"
#include "share.h"

#include "../kez_api.h"

KEZ_BEGIN_DECLS

KEZ_API int open(const char *path, int oflag, ...) KEZ_CLIB_NAME(open);
KEZ_API int sopen(const char *path, int oflag, int shareMode, ...);
/* The same opens for code built for debugging, which calls them instead:
   a failure is also reported as a library error. */
KEZ_API int _UP_open(const char *path, int oflag, ...);
KEZ_API int _UP_sopen(const char *path, int oflag, int shareMode, ...);
KEZ_API int read(int handle, void *buffer, unsigned int count) KEZ_CLIB_NAME(read);
KEZ_API int write(int handle, const void *buffer, unsigned int count) KEZ_CLIB_NAME(write);
/* A file opened for writing is flushed to its device, then closed; it is
   closed even when the flush fails. */
KEZ_API int close(int handle) KEZ_CLIB_NAME(close);
KEZ_API long lseek(int handle, long offset, int origin) KEZ_CLIB_NAME(lseek);
/* 1 at the end of the file, 0 before it, -1 on error. */
KEZ_API int eof(int handle);

KEZ_END_DECLS

#endif
