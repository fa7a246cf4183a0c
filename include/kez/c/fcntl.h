/* The engine's C library: open flags of the POSIX-style handles. */
#ifndef KEZ_C_FCNTL_H
#define KEZ_C_FCNTL_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

#define O_RDONLY 0
#define O_WRONLY 1
#define O_RDWR 2
#define O_APPEND 4
#define O_CREAT 8 /* a permission mode follows (octal 0222: writable) */
#define O_TRUNC 16
#define O_BINARY 32
#define O_TEXT 64 /* CR LF read as LF, LF written as CR LF; O_BINARY wins */
#define O_EXCL 128
#define O_TEMPORARY 0x100 /* removed when closed */
#define O_RANDOM 0x200
#define O_SEQUENTIAL 0x400

KEZ_END_DECLS

#endif
