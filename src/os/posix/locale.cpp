// The native locale on POSIX: named by the environment (LC_ALL, then the
// category's own variable, then LANG), loaded with newlocale. Code pages
// with lead bytes do not exist here; a byte is a character.
#include <ctype.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "os/locale.h"

namespace kez::os {
namespace {

const char *const kCategoryVariables[] = {"LC_COLLATE", "LC_CTYPE", "LC_MONETARY", "LC_NUMERIC", "LC_TIME"};

int category_mask(int category) {
    switch (category) {
    case 1: return LC_COLLATE_MASK;
    case 2: return LC_CTYPE_MASK;
    case 3: return LC_MONETARY_MASK;
    case 4: return LC_NUMERIC_MASK;
    default: return LC_TIME_MASK;
    }
}

void copy_text(char *dest, std::size_t size, const char *src) {
    if (src == nullptr) src = "";
    std::size_t n = strlen(src);
    if (n >= size) n = size - 1;
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// The locale `name` for one category; the others stay "C".
locale_t load(int category, const char *name) {
    if (category < 1 || category > 5) return static_cast<locale_t>(nullptr);
    return newlocale(category_mask(category), name, static_cast<locale_t>(nullptr));
}

}  // namespace

bool native_locale_name(int category, char *buf, std::size_t size) {
    if (category < 1 || category > 5 || size == 0) return false;
    const char *name = getenv("LC_ALL");
    if (name == nullptr || *name == '\0') name = getenv(kCategoryVariables[category - 1]);
    if (name == nullptr || *name == '\0') name = getenv("LANG");
    if (name == nullptr || *name == '\0') name = "C";
    if (strlen(name) >= size) return false;
    locale_t loc = load(category, name);
    if (loc == static_cast<locale_t>(nullptr)) return false;
    freelocale(loc);
    copy_text(buf, size, name);
    return true;
}

bool native_formats(int category, const char *name, NativeFormats *out) {
    locale_t loc = load(category, name);
    if (loc == static_cast<locale_t>(nullptr)) return false;
    // localeconv of this thread's locale while it is `loc`.
    const locale_t previous = uselocale(loc);
    const struct lconv *lc = localeconv();
    copy_text(out->decimal_point, sizeof out->decimal_point, lc->decimal_point);
    copy_text(out->thousands_sep, sizeof out->thousands_sep, lc->thousands_sep);
    copy_text(out->grouping, sizeof out->grouping, lc->grouping);
    copy_text(out->int_curr_symbol, sizeof out->int_curr_symbol, lc->int_curr_symbol);
    copy_text(out->currency_symbol, sizeof out->currency_symbol, lc->currency_symbol);
    copy_text(out->mon_decimal_point, sizeof out->mon_decimal_point, lc->mon_decimal_point);
    copy_text(out->mon_thousands_sep, sizeof out->mon_thousands_sep, lc->mon_thousands_sep);
    copy_text(out->mon_grouping, sizeof out->mon_grouping, lc->mon_grouping);
    copy_text(out->positive_sign, sizeof out->positive_sign, lc->positive_sign);
    copy_text(out->negative_sign, sizeof out->negative_sign, lc->negative_sign);
    out->int_frac_digits = lc->int_frac_digits;
    out->frac_digits = lc->frac_digits;
    out->p_cs_precedes = lc->p_cs_precedes;
    out->p_sep_by_space = lc->p_sep_by_space;
    out->n_cs_precedes = lc->n_cs_precedes;
    out->n_sep_by_space = lc->n_sep_by_space;
    out->p_sign_posn = lc->p_sign_posn;
    out->n_sign_posn = lc->n_sign_posn;
    uselocale(previous);
    freelocale(loc);
    return true;
}

bool native_classes(const char *name, NativeClasses *out) {
    locale_t loc = load(2, name);
    if (loc == static_cast<locale_t>(nullptr)) return false;
    for (int c = 0; c < 256; ++c) {
        std::uint16_t f = 0;
        if (isupper_l(c, loc)) f |= kNativeUpper;
        if (islower_l(c, loc)) f |= kNativeLower;
        if (isdigit_l(c, loc)) f |= kNativeDigit;
        if (isspace_l(c, loc)) f |= kNativeSpace;
        if (ispunct_l(c, loc)) f |= kNativePunct;
        if (iscntrl_l(c, loc)) f |= kNativeCntrl;
        if (isxdigit_l(c, loc)) f |= kNativeXDigit;
        if (isprint_l(c, loc)) f |= kNativePrint;
        out->flags[c] = f;
        const int lower = tolower_l(c, loc), upper = toupper_l(c, loc);
        out->lower[c] = static_cast<unsigned char>(lower >= 0 && lower < 256 ? lower : c);
        out->upper[c] = static_cast<unsigned char>(upper >= 0 && upper < 256 ? upper : c);
    }
    freelocale(loc);
    return true;
}

unsigned native_lead_bytes(bool lead[256]) {
    for (int b = 0; b < 256; ++b) lead[b] = false;
    return 0;
}

int native_char_to_wide(const unsigned char *bytes, std::size_t size, std::uint32_t *wide) {
    if (size == 0) return -1;
    *wide = bytes[0];
    return 1;
}

int native_wide_to_char(std::uint32_t wide, unsigned char out[2]) {
    if (wide > 0xFF) return -1;
    out[0] = static_cast<unsigned char>(wide);
    return 1;
}

}  // namespace kez::os

namespace kez::os {

bool native_time_names(const char *name, NativeTimeNames *out) {
    locale_t loc = load(5, name);
    if (loc == static_cast<locale_t>(nullptr)) return false;
    for (int i = 0; i < 7; ++i) {
        copy_text(out->day[i], sizeof out->day[i], nl_langinfo_l(static_cast<nl_item>(DAY_1 + i), loc));
        copy_text(out->short_day[i], sizeof out->short_day[i], nl_langinfo_l(static_cast<nl_item>(ABDAY_1 + i), loc));
    }
    for (int i = 0; i < 12; ++i) {
        copy_text(out->month[i], sizeof out->month[i], nl_langinfo_l(static_cast<nl_item>(MON_1 + i), loc));
        copy_text(out->short_month[i], sizeof out->short_month[i], nl_langinfo_l(static_cast<nl_item>(ABMON_1 + i), loc));
    }
    copy_text(out->am, sizeof out->am, nl_langinfo_l(AM_STR, loc));
    copy_text(out->pm, sizeof out->pm, nl_langinfo_l(PM_STR, loc));
    freelocale(loc);
    return true;
}

bool native_date_time(const char *name, const int fields[9], char *buf, std::size_t size) {
    locale_t loc = load(5, name);
    if (loc == static_cast<locale_t>(nullptr) || size == 0) return false;
    struct tm t {};
    t.tm_sec = fields[0];
    t.tm_min = fields[1];
    t.tm_hour = fields[2];
    t.tm_mday = fields[3];
    t.tm_mon = fields[4];
    t.tm_year = fields[5];
    t.tm_wday = fields[6];
    t.tm_yday = fields[7];
    t.tm_isdst = fields[8];
    const std::size_t n = strftime_l(buf, size, "%x %X", &t, loc);
    freelocale(loc);
    return n > 0;
}

}  // namespace kez::os
