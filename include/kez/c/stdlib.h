/* The engine's C library: general utilities. */
#ifndef KEZ_C_STDLIB_H
#define KEZ_C_STDLIB_H

#include <stddef.h>

#include "errno.h"

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* Dynamic memory from the engine's user heap: 16-byte-aligned blocks,
   checked on free. malloc(0) and calloc with a zero count or size give
   null; realloc(p, 0) frees p and gives null; realloc(NULL, n) allocates. */
KEZ_API void *malloc(size_t size) KEZ_CLIB_NAME(malloc);
KEZ_API void *calloc(size_t count, size_t size) KEZ_CLIB_NAME(calloc);
KEZ_API void *realloc(void *ptr, size_t size) KEZ_CLIB_NAME(realloc);
KEZ_API void free(void *ptr) KEZ_CLIB_NAME(free);

/* Ends the program with status 1 after raising SIGABRT; what the streams
   hold is written out first. */
KEZ_API KEZ_NORETURN void abort(void) KEZ_CLIB_NAME(abort);
/* Runs a command line as a new process (Linux: through /bin/sh -c) and
   gives its exit code; 1 for NULL (a command processor exists); -1 when
   it cannot be started. */
KEZ_API int system(const char *command) KEZ_CLIB_NAME(system);

/* Integer arithmetic. Quotients are truncated toward zero. The one result
   that does not fit, of INT_MIN (LONG_MIN, LLONG_MIN) negated or divided by
   -1, wraps: abs(INT_MIN) is INT_MIN, div(INT_MIN, -1) gives INT_MIN rem 0. */
typedef struct { int quot; int rem; } div_t;
typedef struct { long quot; long rem; } ldiv_t;
typedef struct { long long quot; long long rem; } lldiv_t;
KEZ_API int abs(int n) KEZ_CLIB_NAME(abs);
KEZ_API long labs(long n) KEZ_CLIB_NAME(labs);
KEZ_API long long llabs(long long n) KEZ_CLIB_NAME(llabs);
KEZ_API long long Kez_llabs(long long n);
KEZ_API div_t div(int numer, int denom) KEZ_CLIB_NAME(div);
KEZ_API ldiv_t ldiv(long numer, long denom) KEZ_CLIB_NAME(ldiv);
KEZ_API lldiv_t lldiv(long long numer, long long denom) KEZ_CLIB_NAME(lldiv);
KEZ_API lldiv_t Kez_lldiv(long long numer, long long denom);

/* Pseudo-random numbers, a sequence per thread; a thread that never
   called srand starts as after srand(1), and srand(0) equals srand(1). */
#define RAND_MAX 32767
KEZ_API int rand(void) KEZ_CLIB_NAME(rand);
KEZ_API void srand(unsigned int seed) KEZ_CLIB_NAME(srand);

/* Binary search of a sorted array: the matching element or null. */
typedef int (*_KezCompare)(const void *, const void *);
KEZ_API void *bsearch(const void *key, const void *base, size_t count, size_t size, _KezCompare compare)
    KEZ_CLIB_NAME(bsearch);

/* The process environment. getenv's text stays valid until the process
   ends; the engine keeps each distinct value it gave out. putenv takes
   "NAME=value" and copies it; "NAME=" removes the variable. It gives 0, or
   -1 with errno EINVAL for text without a name or '='. */
KEZ_API char *getenv(const char *name) KEZ_CLIB_NAME(getenv);
KEZ_API int putenv(const char *setting) KEZ_CLIB_NAME(putenv);
KEZ_API int Kez__putenv(const char *setting);

/* Numbers from text. Leading white space is skipped; integers take an
   optional sign and a base from 2 to 36, or 0 for the C prefixes (0x, 0).
   Out of range: errno ERANGE and the limit of the type; a bad base: errno
   EINVAL and 0. atoi, atol and atoll convert in base 10 and narrow. */
KEZ_API long strtol(const char *text, char **end, int base) KEZ_CLIB_NAME(strtol);
KEZ_API unsigned long strtoul(const char *text, char **end, int base) KEZ_CLIB_NAME(strtoul);
KEZ_API long long strtoll(const char *text, char **end, int base) KEZ_CLIB_NAME(strtoll);
KEZ_API unsigned long long strtoull(const char *text, char **end, int base) KEZ_CLIB_NAME(strtoull);
KEZ_API long long strtol64(const char *text, char **end, int base);
KEZ_API unsigned long long strtoul64(const char *text, char **end, int base);
KEZ_API long long Kez_strtoll(const char *text, char **end, int base);
KEZ_API long long Kez_strtol64(const char *text, char **end, int base);
KEZ_API unsigned long long Kez_strtoull(const char *text, char **end, int base);
KEZ_API unsigned long long Kez_strtoul64(const char *text, char **end, int base);
KEZ_API int atoi(const char *text) KEZ_CLIB_NAME(atoi);
KEZ_API long atol(const char *text) KEZ_CLIB_NAME(atol);
KEZ_API long long atoll(const char *text) KEZ_CLIB_NAME(atoll);
KEZ_API long long atoi64(const char *text);
KEZ_API long long Kez_atoll(const char *text);
KEZ_API long long Kez_atoi64(const char *text);
/* Correctly rounded; the "C" locale's forms (no hexadecimal) with the
   decimal point of LC_NUMERIC. Overflow and inexact results below the
   normal range set errno ERANGE. */
KEZ_API double strtod(const char *text, char **end) KEZ_CLIB_NAME(strtod);
KEZ_API double atof(const char *text) KEZ_CLIB_NAME(atof);

/* Sorts an array ascending in place; not stable. Fewer than two elements
   are left as they are without calling the comparison. */
KEZ_API void qsort(void *base, size_t count, size_t size, _KezCompare compare) KEZ_CLIB_NAME(qsort);
/* Multibyte characters of LC_CTYPE. In the "C" locale a byte is a
   character and its value the wide value; mblen gives 1 for a byte other
   than NUL, 0 for NUL. No shift states: mblen, mbtowc and wctomb give 0
   for a NULL string. MB_CUR_MAX is 2 while LC_CTYPE is the native locale
   of a code page with lead bytes, else 1. */
KEZ_API int Kez_MbCurMax(void);
#define MB_CUR_MAX ((size_t)Kez_MbCurMax())
KEZ_API int mblen(const char *text, size_t size) KEZ_CLIB_NAME(mblen);
KEZ_API int mbtowc(wchar_t *wide, const char *text, size_t size) KEZ_CLIB_NAME(mbtowc);
KEZ_API size_t mbstowcs(wchar_t *dest, const char *src, size_t count) KEZ_CLIB_NAME(mbstowcs);
KEZ_API int wctomb(char *text, wchar_t wide) KEZ_CLIB_NAME(wctomb);
KEZ_API size_t wcstombs(char *dest, const wchar_t *src, size_t size) KEZ_CLIB_NAME(wcstombs);

KEZ_END_DECLS

#endif
