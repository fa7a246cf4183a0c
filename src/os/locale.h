// The system's native locale as the C library's setlocale("") takes it:
// its name, its number and money formats, its character classes and the
// lead bytes of its code page. Categories are numbered as the C library's
// LC_ constants: 1 collate, 2 ctype, 3 monetary, 4 numeric, 5 time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::os {

// The native locale's name for a category as the system reports it
// ("en_US.UTF-8" from the environment on POSIX, "Language_Country.codepage"
// on Windows). False when the system has no usable locale for it.
bool native_locale_name(int category, char *buf, std::size_t size);

// Number and money formats of a locale. Strings are terminated; groupings
// are in the C library's form (sizes as bytes, the last one repeating, 127
// ending the grouping). The char fields use 127 for "not available".
struct NativeFormats {
    char decimal_point[8];
    char thousands_sep[8];
    char grouping[16];
    char int_curr_symbol[16];
    char currency_symbol[16];
    char mon_decimal_point[8];
    char mon_thousands_sep[8];
    char mon_grouping[16];
    char positive_sign[8];
    char negative_sign[8];
    char int_frac_digits, frac_digits;
    char p_cs_precedes, p_sep_by_space, n_cs_precedes, n_sep_by_space, p_sign_posn, n_sign_posn;
};
// The formats of the locale `name` (one native_locale_name gave). False
// when the system cannot load it.
bool native_formats(int category, const char *name, NativeFormats *out);

// Character classes of the bytes of a locale's code page, one bit set per
// class, with the case mappings.
enum : std::uint16_t {
    kNativeUpper = 1,
    kNativeLower = 2,
    kNativeDigit = 4,
    kNativeSpace = 8,
    kNativePunct = 16,
    kNativeCntrl = 32,
    kNativeXDigit = 64,
    kNativePrint = 128,
};
struct NativeClasses {
    std::uint16_t flags[256];
    unsigned char lower[256];
    unsigned char upper[256];
};
bool native_classes(const char *name, NativeClasses *out);

// The lead bytes of the process's ANSI code page (a byte that starts a
// two-byte character): sets lead[b] for each and gives the code page's
// number, or 0 (and no lead bytes) when the code page has none. POSIX
// locales never use lead bytes.
unsigned native_lead_bytes(bool lead[256]);

// One character of the native code page to a wide value: the bytes used (1
// or 2), or -1 when the bytes are no character. `size` bytes are readable.
int native_char_to_wide(const unsigned char *bytes, std::size_t size, std::uint32_t *wide);
// A wide value to the native code page: the bytes written (1 or 2), or -1
// when the code page cannot represent it.
int native_wide_to_char(std::uint32_t wide, unsigned char out[2]);

// Day, month and AM/PM names of a locale's time category.
struct NativeTimeNames {
    char day[7][48];  // Sunday first
    char short_day[7][24];
    char month[12][48];
    char short_month[12][24];
    char am[16];
    char pm[16];
};
bool native_time_names(const char *name, NativeTimeNames *out);

// The locale's date, a space and its time, for the fields of a struct tm
// (seconds, minutes, hours, day, month 0-11, years since 1900, weekday, day
// of the year, daylight flag). False when it does not fit `size` bytes.
bool native_date_time(const char *name, const int fields[9], char *buf, std::size_t size);

}  // namespace kez::os
