/* The engine's C library: streams, and files by name. */
#ifndef KEZ_C_STDIO_H
#define KEZ_C_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#include "errno.h"

#include "../kez_api.h"

KEZ_BEGIN_DECLS

KEZ_API int remove(const char *path) KEZ_CLIB_NAME(remove);
/* Never replaces an existing file. */
KEZ_API int rename(const char *oldName, const char *newName) KEZ_CLIB_NAME(rename);

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

/* Formatted output. Where the engine differs from C:
   - every real conversion prints an infinity as "+Inf" or "-Inf" (always
     with its sign) and not-a-number as "NaN", padded with spaces;
   - %p prints the bare hexadecimal digits of the pointer, no "0x";
   - a NULL %s string fails the call;
   - widths and precisions above 509 fail the call (a %s without a width
     may have any precision);
   - a negative precision from '*' counts as none; a '*' width of INT_MIN
     fails the call;
   - results above INT_MAX fail the call with errno ERANGE;
   - the conversions are d i u o x X f e E g G c s p n: %a, %A, %F and any
     other letter fail the call; %lc and %ls print narrow characters.
   Reals print their exact digits at any precision, rounded to nearest
   with ties to even, with the locale's decimal point. Length modifiers:
   hh, h, l (long: 64-bit on Linux, 32-bit on Windows), ll and I64, j, z
   and t (64-bit), L (long double: the 80-bit type on Linux; on Windows the
   8-byte double). A call on a stream holds the stream's lock throughout,
   so calls from different threads never interleave. */
KEZ_API int printf(const char *format, ...) KEZ_CLIB_NAME(printf);
KEZ_API int fprintf(FILE *stream, const char *format, ...) KEZ_CLIB_NAME(fprintf);
KEZ_API int sprintf(char *buffer, const char *format, ...) KEZ_CLIB_NAME(sprintf);
/* Writes at most limit - 1 bytes and a NUL (nothing when limit is 0) and
   returns the length of the full output. */
KEZ_API int snprintf(char *buffer, size_t limit, const char *format, ...) KEZ_CLIB_NAME(snprintf);
KEZ_API int vprintf(const char *format, va_list args) KEZ_CLIB_NAME(vprintf);
KEZ_API int vfprintf(FILE *stream, const char *format, va_list args) KEZ_CLIB_NAME(vfprintf);
KEZ_API int vsprintf(char *buffer, const char *format, va_list args) KEZ_CLIB_NAME(vsprintf);
KEZ_API int vsnprintf(char *buffer, size_t limit, const char *format, va_list args) KEZ_CLIB_NAME(vsnprintf);
/* The checked forms that programs built for debugging call through the
   twins of the functions above. */
KEZ_API int _UP_vprintf(const char *format, va_list args);
KEZ_API int _UP_vfprintf(FILE *stream, const char *format, va_list args);
KEZ_API int _UP_vsprintf(char *buffer, const char *format, va_list args);
KEZ_API int _UP_vsnprintf(char *buffer, size_t limit, const char *format, va_list args);

/* Formatted input. Where the engine differs from C:
   - a real is decimal digits with an optional point (the locale's) and
     exponent; "inf", "nan" and hexadecimal reals are not read;
   - an integer too large for its target is stored reduced modulo 2^N for
     an N-bit target (for 64-bit targets: modulo 2^64);
   - a field gives back the characters that end it without completing it:
     an "e", "e+" or "e-" after a real's digits, a lone sign or point, the
     "x" of "0x" with no hexadecimal digit after it (the field is then 0);
   - a %c field that the input ends early is stored as far as it goes and
     counted;
   - %lc, %ls and %l[ (wide text), widths of a million or more, a NULL
     format, a NULL input string and a NULL target fail the call (-1);
   - a suppressed conversion (%*d) completes a conversion as any other: an
     input that ends after it gives the count, not EOF.
   Integer conversions accept a sign, %i a 0 (octal) or 0x (hexadecimal)
   prefix, %x and %p an optional 0x. %p reads hexadecimal digits. %n stores
   the characters read so far at its length modifier's size. Length
   modifiers: hh, h, l (long: 64-bit on Linux, 32-bit on Windows), ll and
   I64, j, z and t (64-bit); on reals none for float, l for double, L for
   long double (the 80-bit type on Linux; on Windows the 8-byte double).
   Reals are rounded once, correctly, to their target, for any number of
   digits; a result out of the target's range sets errno to ERANGE, and a
   conversion that raises nothing leaves errno as it was. A call on a
   stream holds the stream's lock throughout; text streams read CR LF as
   LF. */
KEZ_API int scanf(const char *format, ...) KEZ_CLIB_NAME(scanf);
KEZ_API int fscanf(FILE *stream, const char *format, ...) KEZ_CLIB_NAME(fscanf);
KEZ_API int sscanf(const char *input, const char *format, ...) KEZ_CLIB_NAME(sscanf);
KEZ_API int vscanf(const char *format, va_list args) KEZ_CLIB_NAME(vscanf);
KEZ_API int vfscanf(FILE *stream, const char *format, va_list args) KEZ_CLIB_NAME(vfscanf);
KEZ_API int vsscanf(const char *input, const char *format, va_list args) KEZ_CLIB_NAME(vsscanf);
/* The checked forms: besides the format, they check each target against
   the argument the caller passed; a %s, %[ or %c target too small for its
   field is reported and fails the call (-1) before a byte is written past
   it. An end of input (EOF) is not reported. */
KEZ_API int _UP_vscanf(const char *format, va_list args);
KEZ_API int _UP_vfscanf(FILE *stream, const char *format, va_list args);
KEZ_API int _UP_vsscanf(const char *input, const char *format, va_list args);

KEZ_END_DECLS

#endif
