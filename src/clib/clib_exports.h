// The C library's exports whose names the host C library also has: the
// engine defines them as kez_<name> (see the export table's generator) and
// never under the standard name, so its own calls of the host's functions
// stay the host's.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#include "kez/kez_api.h"

// The public header's FILE.
struct KezFile;
typedef void (*KezSignalHandler)(int);

extern "C" {
KEZ_API char *kez_strerror(int errnum);
KEZ_API int kez_open(const char *path, int oflag, ...);
KEZ_API int kez_read(int handle, void *buffer, unsigned int count);
KEZ_API int kez_write(int handle, const void *buffer, unsigned int count);
KEZ_API int kez_close(int handle);
KEZ_API long kez_lseek(int handle, long offset, int origin);
KEZ_API int kez_remove(const char *path);
KEZ_API int kez_rename(const char *oldName, const char *newName);
KEZ_API KezSignalHandler kez_signal(int sig, KezSignalHandler handler);
KEZ_API int kez_raise(int sig);
KEZ_API void kez_abort(void);
KEZ_API int kez_system(const char *command);
KEZ_API KezFile *kez_fopen(const char *path, const char *mode);
KEZ_API KezFile *kez_freopen(const char *path, const char *mode, KezFile *stream);
KEZ_API KezFile *kez_fdopen(int handle, const char *mode);
KEZ_API int kez_fclose(KezFile *stream);
KEZ_API int kez_fflush(KezFile *stream);
KEZ_API size_t kez_fread(void *buffer, size_t size, size_t count, KezFile *stream);
KEZ_API size_t kez_fwrite(const void *buffer, size_t size, size_t count, KezFile *stream);
KEZ_API int kez_fgetc(KezFile *stream);
KEZ_API int kez_getc(KezFile *stream);
KEZ_API int kez_getchar(void);
KEZ_API char *kez_fgets(char *buffer, int n, KezFile *stream);
KEZ_API int kez_fputc(int c, KezFile *stream);
KEZ_API int kez_putc(int c, KezFile *stream);
KEZ_API int kez_putchar(int c);
KEZ_API int kez_fputs(const char *text, KezFile *stream);
KEZ_API int kez_puts(const char *text);
KEZ_API int kez_ungetc(int c, KezFile *stream);
KEZ_API int kez_fseek(KezFile *stream, long offset, int origin);
KEZ_API long kez_ftell(KezFile *stream);
KEZ_API int kez_fgetpos(KezFile *stream, long long *position);
KEZ_API int kez_fsetpos(KezFile *stream, const long long *position);
KEZ_API void kez_rewind(KezFile *stream);
KEZ_API void kez_clearerr(KezFile *stream);
KEZ_API int kez_feof(KezFile *stream);
KEZ_API int kez_ferror(KezFile *stream);
KEZ_API int kez_setvbuf(KezFile *stream, char *buffer, int mode, size_t size);
KEZ_API void kez_setbuf(KezFile *stream, char *buffer);
KEZ_API KezFile *kez_tmpfile(void);
KEZ_API char *kez_tmpnam(char *buffer);
KEZ_API void kez_perror(const char *prefix);
KEZ_API int kez_printf(const char *format, ...);
KEZ_API int kez_fprintf(KezFile *stream, const char *format, ...);
KEZ_API int kez_sprintf(char *buffer, const char *format, ...);
KEZ_API int kez_snprintf(char *buffer, size_t limit, const char *format, ...);
KEZ_API int kez_vprintf(const char *format, va_list args);
KEZ_API int kez_vfprintf(KezFile *stream, const char *format, va_list args);
KEZ_API int kez_vsprintf(char *buffer, const char *format, va_list args);
KEZ_API int kez_vsnprintf(char *buffer, size_t limit, const char *format, va_list args);
KEZ_API int kez_scanf(const char *format, ...);
KEZ_API int kez_fscanf(KezFile *stream, const char *format, ...);
KEZ_API int kez_sscanf(const char *input, const char *format, ...);
KEZ_API int kez_vscanf(const char *format, va_list args);
KEZ_API int kez_vfscanf(KezFile *stream, const char *format, va_list args);
KEZ_API int kez_vsscanf(const char *input, const char *format, va_list args);
}

// C library exports under names the host does not have.
extern "C" {
KEZ_API int *_GetErrno(void);
KEZ_API int sopen(const char *path, int oflag, int shareMode, ...);
KEZ_API int eof(int handle);
KEZ_API KezFile **_GetFilesArray(void);
KEZ_API void _assert(const char *expression, const char *file, int line);
KEZ_API int DebugPrintf(const char *format, ...);
KEZ_API int vDebugPrintf(const char *format, va_list args);
KEZ_API int ErrorPrintf(const char *format, ...);
KEZ_API int _UP_vprintf(const char *format, va_list args);
KEZ_API int _UP_vfprintf(KezFile *stream, const char *format, va_list args);
KEZ_API int _UP_vsprintf(char *buffer, const char *format, va_list args);
KEZ_API int _UP_vsnprintf(char *buffer, size_t limit, const char *format, va_list args);
KEZ_API int _UP_vDebugPrintf(const char *format, va_list args);
KEZ_API int _UP_vscanf(const char *format, va_list args);
KEZ_API int _UP_vfscanf(KezFile *stream, const char *format, va_list args);
KEZ_API int _UP_vsscanf(const char *input, const char *format, va_list args);
KEZ_API void _assert_func(const char *expression, const char *file, const char *function, int line);
}
