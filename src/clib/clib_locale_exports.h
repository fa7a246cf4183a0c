// The C library's locale and multibyte exports, and what the rest of the
// C library asks of the locale in force.
#pragma once

#include <stddef.h>

#include "kez/kez_api.h"

// The public header's struct lconv: the same layout.
struct KezLconv {
    char *decimal_point;
    char *thousands_sep;
    char *grouping;
    char *int_curr_symbol;
    char *currency_symbol;
    char *mon_decimal_point;
    char *mon_thousands_sep;
    char *mon_grouping;
    char *positive_sign;
    char *negative_sign;
    char int_frac_digits, frac_digits;
    char p_cs_precedes, p_sep_by_space, n_cs_precedes, n_sep_by_space, p_sign_posn, n_sign_posn;
    char int_p_cs_precedes, int_p_sep_by_space, int_n_cs_precedes, int_n_sep_by_space, int_p_sign_posn,
        int_n_sign_posn;
};

namespace kez::clib {
// LC_CTYPE's multibyte side: single bytes in the "C" locale; the code
// page's characters in the native locale.
void use_native_multibyte(bool native) noexcept;
}  // namespace kez::clib

namespace kez::os {
struct NativeTimeNames;
}
namespace kez::clib {
// LC_TIME: the native locale's names, or null in the "C" locale; and the
// native locale's name.
const os::NativeTimeNames *native_time_names() noexcept;
const char *native_time_locale() noexcept;
}  // namespace kez::clib

extern "C" {
KEZ_API char *kez_setlocale(int category, const char *name);
KEZ_API KezLconv *kez_localeconv(void);

KEZ_API int kez_mblen(const char *text, size_t size);
KEZ_API int kez_mbtowc(wchar_t *wide, const char *text, size_t size);
KEZ_API size_t kez_mbstowcs(wchar_t *dest, const char *src, size_t count);
KEZ_API int kez_wctomb(char *text, wchar_t wide);
KEZ_API size_t kez_wcstombs(char *dest, const wchar_t *src, size_t size);
KEZ_API size_t kez_wcslen(const wchar_t *text);
KEZ_API int Kez_MbCurMax(void);

#define KEZ_MBS_EXPORTS(X)                                                                             \
    X(int, _getmbcp, (void), ())                                                                        \
    X(int, _ismbblead, (unsigned int c), (c))                                                           \
    X(unsigned char *, _mbscat, (unsigned char *dest, const unsigned char *src), (dest, src))           \
    X(unsigned char *, _mbschr, (const unsigned char *text, unsigned int c), (text, c))                 \
    X(int, _mbscmp, (const unsigned char *a, const unsigned char *b), (a, b))                           \
    X(unsigned char *, _mbscpy, (unsigned char *dest, const unsigned char *src), (dest, src))           \
    X(size_t, _mbscspn, (const unsigned char *text, const unsigned char *reject), (text, reject))       \
    X(unsigned char *, _mbsdec, (const unsigned char *start, const unsigned char *current),             \
      (start, current))                                                                                 \
    X(int, _mbsicmp, (const unsigned char *a, const unsigned char *b), (a, b))                          \
    X(unsigned char *, _mbsinc, (const unsigned char *current), (current))                              \
    X(size_t, _mbslen, (const unsigned char *text), (text))                                             \
    X(unsigned char *, _mbsnbcat, (unsigned char *dest, const unsigned char *src, size_t count),        \
      (dest, src, count))                                                                               \
    X(int, _mbsnbcmp, (const unsigned char *a, const unsigned char *b, size_t count), (a, b, count))    \
    X(unsigned char *, _mbsnbcpy, (unsigned char *dest, const unsigned char *src, size_t count),        \
      (dest, src, count))                                                                               \
    X(int, _mbsnbicmp, (const unsigned char *a, const unsigned char *b, size_t count), (a, b, count))   \
    X(unsigned char *, _mbspbrk, (const unsigned char *text, const unsigned char *accept), (text, accept)) \
    X(unsigned char *, _mbsrchr, (const unsigned char *text, unsigned int c), (text, c))                \
    X(size_t, _mbsspn, (const unsigned char *text, const unsigned char *accept), (text, accept))        \
    X(unsigned char *, _mbsstr, (const unsigned char *text, const unsigned char *pattern), (text, pattern)) \
    X(unsigned char *, _mbstok, (unsigned char *text, const unsigned char *delimiters), (text, delimiters)) \
    X(int, _mbsbtype, (const unsigned char *text, size_t index), (text, index))

#define KEZ_MBS_DECLARE(ret, name, params, args) KEZ_API ret name params; KEZ_API ret Kez_##name params;
KEZ_MBS_EXPORTS(KEZ_MBS_DECLARE)
#undef KEZ_MBS_DECLARE
}
