/* The engine's C library: strings of the multibyte code page, the
   process's ANSI code page (Linux has none with lead bytes). When it has
   lead bytes, a lead byte and the byte after it are one character (a lead
   byte before the terminating NUL is a single byte); otherwise these
   functions are the byte functions of string.h. Characters are unsigned char values, a
   two-byte one given as lead * 256 + trail. Each is also exported as
   Kez_<name>. */
#ifndef KEZ_C_MBSTRING_H
#define KEZ_C_MBSTRING_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* _mbsbtype's results. */
#define _MBC_SINGLE 0
#define _MBC_LEAD 1
#define _MBC_TRAIL 2
#define _MBC_ILLEGAL (-1)

/* The multibyte code page's number, 0 when it has no lead bytes. */
KEZ_API int _getmbcp(void);
KEZ_API int _ismbblead(unsigned int c);
KEZ_API unsigned char *_mbscat(unsigned char *dest, const unsigned char *src);
KEZ_API unsigned char *_mbschr(const unsigned char *text, unsigned int c);
KEZ_API int _mbscmp(const unsigned char *a, const unsigned char *b);
KEZ_API unsigned char *_mbscpy(unsigned char *dest, const unsigned char *src);
KEZ_API size_t _mbscspn(const unsigned char *text, const unsigned char *reject);
/* The character before `current`, or NULL when current is at start. */
KEZ_API unsigned char *_mbsdec(const unsigned char *start, const unsigned char *current);
KEZ_API int _mbsicmp(const unsigned char *a, const unsigned char *b);
KEZ_API unsigned char *_mbsinc(const unsigned char *current);
/* The number of characters. */
KEZ_API size_t _mbslen(const unsigned char *text);
/* The n-byte forms count bytes but never split a character. */
KEZ_API unsigned char *_mbsnbcat(unsigned char *dest, const unsigned char *src, size_t count);
KEZ_API int _mbsnbcmp(const unsigned char *a, const unsigned char *b, size_t count);
KEZ_API unsigned char *_mbsnbcpy(unsigned char *dest, const unsigned char *src, size_t count);
KEZ_API int _mbsnbicmp(const unsigned char *a, const unsigned char *b, size_t count);
KEZ_API unsigned char *_mbspbrk(const unsigned char *text, const unsigned char *accept);
KEZ_API unsigned char *_mbsrchr(const unsigned char *text, unsigned int c);
KEZ_API size_t _mbsspn(const unsigned char *text, const unsigned char *accept);
KEZ_API unsigned char *_mbsstr(const unsigned char *text, const unsigned char *pattern);
/* Keeps its position per thread, as strtok. */
KEZ_API unsigned char *_mbstok(unsigned char *text, const unsigned char *delimiters);
/* The type of the byte at text[index], read from the start of text. */
KEZ_API int _mbsbtype(const unsigned char *text, size_t index);

KEZ_API int Kez__getmbcp(void);
KEZ_API int Kez__ismbblead(unsigned int c);
KEZ_API unsigned char *Kez__mbscat(unsigned char *dest, const unsigned char *src);
KEZ_API unsigned char *Kez__mbschr(const unsigned char *text, unsigned int c);
KEZ_API int Kez__mbscmp(const unsigned char *a, const unsigned char *b);
KEZ_API unsigned char *Kez__mbscpy(unsigned char *dest, const unsigned char *src);
KEZ_API size_t Kez__mbscspn(const unsigned char *text, const unsigned char *reject);
KEZ_API unsigned char *Kez__mbsdec(const unsigned char *start, const unsigned char *current);
KEZ_API int Kez__mbsicmp(const unsigned char *a, const unsigned char *b);
KEZ_API unsigned char *Kez__mbsinc(const unsigned char *current);
KEZ_API size_t Kez__mbslen(const unsigned char *text);
KEZ_API unsigned char *Kez__mbsnbcat(unsigned char *dest, const unsigned char *src, size_t count);
KEZ_API int Kez__mbsnbcmp(const unsigned char *a, const unsigned char *b, size_t count);
KEZ_API unsigned char *Kez__mbsnbcpy(unsigned char *dest, const unsigned char *src, size_t count);
KEZ_API int Kez__mbsnbicmp(const unsigned char *a, const unsigned char *b, size_t count);
KEZ_API unsigned char *Kez__mbspbrk(const unsigned char *text, const unsigned char *accept);
KEZ_API unsigned char *Kez__mbsrchr(const unsigned char *text, unsigned int c);
KEZ_API size_t Kez__mbsspn(const unsigned char *text, const unsigned char *accept);
KEZ_API unsigned char *Kez__mbsstr(const unsigned char *text, const unsigned char *pattern);
KEZ_API unsigned char *Kez__mbstok(unsigned char *text, const unsigned char *delimiters);
KEZ_API int Kez__mbsbtype(const unsigned char *text, size_t index);

KEZ_END_DECLS

#endif
