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

/* errno: per thread. The engine's own values, the same on every platform. */
KEZ_API int *_GetErrno(void);
#undef errno /* some platforms' stddef.h define it for their own runtime */
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

KEZ_API char *strerror(int errnum) KEZ_CLIB_NAME(strerror);
KEZ_API int remove(const char *path) KEZ_CLIB_NAME(remove);
/* Never replaces an existing file. */
KEZ_API int rename(const char *oldName, const char *newName) KEZ_CLIB_NAME(rename);

/* POSIX-style handles, shared with the formatting and I/O library's files:
   0, 1 and 2 are the standard input, output and error. */
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
/* sopen's share modes: what other opens of the file may do. */
#define SH_DENYRW 0
#define SH_DENYWR 1
#define SH_DENYRD 2
#define SH_DENYNO 3
#define SH_COMPAT 4

KEZ_API int open(const char *path, int oflag, ...) KEZ_CLIB_NAME(open);
KEZ_API int sopen(const char *path, int oflag, int shareMode, ...);
KEZ_API int read(int handle, void *buffer, unsigned int count) KEZ_CLIB_NAME(read);
KEZ_API int write(int handle, const void *buffer, unsigned int count) KEZ_CLIB_NAME(write);
/* A file opened for writing is flushed to its device, then closed; it is
   closed even when the flush fails. */
KEZ_API int close(int handle) KEZ_CLIB_NAME(close);
KEZ_API long lseek(int handle, long offset, int origin) KEZ_CLIB_NAME(lseek);
/* 1 at the end of the file, 0 before it, -1 on error. */
KEZ_API int eof(int handle);

/* Streams. The standard streams are slots 0 to 2 of the stream table;
   stderr is unbuffered, stdout line-buffered on a terminal. Text streams
   read CR LF as LF and write LF as CR LF on every platform; ftell and
   fgetpos give exact file positions. */
typedef struct KezFile FILE;
typedef long long fpos_t;
#define EOF (-1)
#define BUFSIZ 512
#define _IONBF 0
#define _IOLBF 1
#define _IOFBF 2
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#define L_tmpnam 260
#define TMP_MAX 1000
#define FOPEN_MAX 255
#define FILENAME_MAX 260
KEZ_API FILE **_GetFilesArray(void);
#define stdin (_GetFilesArray()[0])
#define stdout (_GetFilesArray()[1])
#define stderr (_GetFilesArray()[2])
KEZ_API FILE *fopen(const char *path, const char *mode) KEZ_CLIB_NAME(fopen);
KEZ_API FILE *freopen(const char *path, const char *mode, FILE *stream) KEZ_CLIB_NAME(freopen);
KEZ_API FILE *fdopen(int handle, const char *mode) KEZ_CLIB_NAME(fdopen);
KEZ_API int fclose(FILE *stream) KEZ_CLIB_NAME(fclose);
KEZ_API int fflush(FILE *stream) KEZ_CLIB_NAME(fflush);
KEZ_API size_t fread(void *buffer, size_t size, size_t count, FILE *stream) KEZ_CLIB_NAME(fread);
KEZ_API size_t fwrite(const void *buffer, size_t size, size_t count, FILE *stream) KEZ_CLIB_NAME(fwrite);
KEZ_API int fgetc(FILE *stream) KEZ_CLIB_NAME(fgetc);
KEZ_API int getc(FILE *stream) KEZ_CLIB_NAME(getc);
KEZ_API int getchar(void) KEZ_CLIB_NAME(getchar);
KEZ_API char *fgets(char *buffer, int n, FILE *stream) KEZ_CLIB_NAME(fgets);
KEZ_API int fputc(int c, FILE *stream) KEZ_CLIB_NAME(fputc);
KEZ_API int putc(int c, FILE *stream) KEZ_CLIB_NAME(putc);
KEZ_API int putchar(int c) KEZ_CLIB_NAME(putchar);
KEZ_API int fputs(const char *text, FILE *stream) KEZ_CLIB_NAME(fputs);
KEZ_API int puts(const char *text) KEZ_CLIB_NAME(puts);
KEZ_API int ungetc(int c, FILE *stream) KEZ_CLIB_NAME(ungetc);
KEZ_API int fseek(FILE *stream, long offset, int origin) KEZ_CLIB_NAME(fseek);
KEZ_API long ftell(FILE *stream) KEZ_CLIB_NAME(ftell);
KEZ_API int fgetpos(FILE *stream, fpos_t *position) KEZ_CLIB_NAME(fgetpos);
KEZ_API int fsetpos(FILE *stream, const fpos_t *position) KEZ_CLIB_NAME(fsetpos);
KEZ_API void rewind(FILE *stream) KEZ_CLIB_NAME(rewind);
KEZ_API void clearerr(FILE *stream) KEZ_CLIB_NAME(clearerr);
KEZ_API int feof(FILE *stream) KEZ_CLIB_NAME(feof);
KEZ_API int ferror(FILE *stream) KEZ_CLIB_NAME(ferror);
KEZ_API int setvbuf(FILE *stream, char *buffer, int mode, size_t size) KEZ_CLIB_NAME(setvbuf);
KEZ_API void setbuf(FILE *stream, char *buffer) KEZ_CLIB_NAME(setbuf);
KEZ_API FILE *tmpfile(void) KEZ_CLIB_NAME(tmpfile);
KEZ_API char *tmpnam(char *buffer) KEZ_CLIB_NAME(tmpnam);
KEZ_API void perror(const char *prefix) KEZ_CLIB_NAME(perror);

KEZ_END_DECLS

#endif
