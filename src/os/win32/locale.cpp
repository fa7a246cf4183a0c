// The native locale on Windows: the user's default locale and the process's
// ANSI code page. Its name is "Language_Country.codepage" in English.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os/locale.h"

namespace kez::os {
namespace {

void info(LCTYPE type, char *buf, std::size_t size) {
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buf, static_cast<int>(size)) == 0) buf[0] = '\0';
}

int info_number(LCTYPE type, int fallback) {
    char text[16];
    info(type, text, sizeof text);
    if (text[0] < '0' || text[0] > '9') return fallback;
    return atoi(text);
}

// "3;2;0" (3, then 2 repeating) to "\3\2"; "3" (one group of 3, then none)
// to "\3\177".
void grouping(LCTYPE type, char *out, std::size_t size) {
    char text[32];
    info(type, text, sizeof text);
    std::size_t n = 0;
    bool ends_in_zero = false;
    for (const char *p = text; *p != '\0' && n + 2 < size;) {
        if (*p < '0' || *p > '9') {
            ++p;
            continue;
        }
        const int v = atoi(p);
        while (*p >= '0' && *p <= '9') ++p;
        ends_in_zero = v == 0;
        if (v != 0) out[n++] = static_cast<char>(v > 126 ? 126 : v);
    }
    if (n > 0 && !ends_in_zero) out[n++] = 127;
    out[n] = '\0';
}

// Negative currency formats 0..15: symbol precedes, separated by a space,
// sign position.
const char kNegativeFormats[16][3] = {
    {1, 0, 0}, {1, 0, 1}, {1, 0, 4}, {1, 0, 2}, {0, 0, 0}, {0, 0, 1}, {0, 0, 3}, {0, 0, 2},
    {0, 1, 1}, {1, 1, 1}, {0, 1, 2}, {1, 1, 2}, {1, 1, 4}, {0, 1, 3}, {1, 1, 0}, {0, 1, 0},
};

}  // namespace

bool native_locale_name(int category, char *buf, std::size_t size) {
    if (category < 1 || category > 5 || size == 0) return false;
    char language[64], country[64];
    info(LOCALE_SENGLANGUAGE, language, sizeof language);
    info(LOCALE_SENGCOUNTRY, country, sizeof country);
    if (language[0] == '\0') return false;
    const int n = snprintf(buf, size, "%s_%s.%u", language, country, GetACP());
    return n > 0 && static_cast<std::size_t>(n) < size;
}

bool native_formats(int, const char *, NativeFormats *out) {
    info(LOCALE_SDECIMAL, out->decimal_point, sizeof out->decimal_point);
    info(LOCALE_STHOUSAND, out->thousands_sep, sizeof out->thousands_sep);
    grouping(LOCALE_SGROUPING, out->grouping, sizeof out->grouping);
    char intl[12];
    info(LOCALE_SINTLSYMBOL, intl, sizeof intl);
    snprintf(out->int_curr_symbol, sizeof out->int_curr_symbol, "%s%s", intl, intl[0] != '\0' ? " " : "");
    info(LOCALE_SCURRENCY, out->currency_symbol, sizeof out->currency_symbol);
    info(LOCALE_SMONDECIMALSEP, out->mon_decimal_point, sizeof out->mon_decimal_point);
    info(LOCALE_SMONTHOUSANDSEP, out->mon_thousands_sep, sizeof out->mon_thousands_sep);
    grouping(LOCALE_SMONGROUPING, out->mon_grouping, sizeof out->mon_grouping);
    info(LOCALE_SPOSITIVESIGN, out->positive_sign, sizeof out->positive_sign);
    info(LOCALE_SNEGATIVESIGN, out->negative_sign, sizeof out->negative_sign);
    out->int_frac_digits = static_cast<char>(info_number(LOCALE_IINTLCURRDIGITS, 127));
    out->frac_digits = static_cast<char>(info_number(LOCALE_ICURRDIGITS, 127));
    // Positive formats 0..3: "$1", "1$", "$ 1", "1 $".
    const int positive = info_number(LOCALE_ICURRENCY, 0) & 3;
    out->p_cs_precedes = static_cast<char>((positive & 1) == 0);
    out->p_sep_by_space = static_cast<char>((positive & 2) != 0);
    out->p_sign_posn = 1;
    const int negative = info_number(LOCALE_INEGCURR, 1);
    const char *f = kNegativeFormats[negative >= 0 && negative < 16 ? negative : 1];
    out->n_cs_precedes = f[0];
    out->n_sep_by_space = f[1];
    out->n_sign_posn = f[2];
    return true;
}

bool native_classes(const char *, NativeClasses *out) {
    for (int c = 0; c < 256; ++c) {
        const char byte = static_cast<char>(c);
        WCHAR w = 0;
        WORD type = 0;
        std::uint16_t f = 0;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, &w, 1) == 1 &&
            GetStringTypeW(CT_CTYPE1, &w, 1, &type)) {
            if (type & C1_UPPER) f |= kNativeUpper;
            if (type & C1_LOWER) f |= kNativeLower;
            if (type & C1_DIGIT) f |= kNativeDigit;
            if (type & C1_SPACE) f |= kNativeSpace;
            if (type & C1_PUNCT) f |= kNativePunct;
            if (type & C1_CNTRL) f |= kNativeCntrl;
            if (type & C1_XDIGIT) f |= kNativeXDigit;
            if ((type & (C1_ALPHA | C1_DIGIT | C1_PUNCT | C1_BLANK)) != 0 && (type & C1_CNTRL) == 0) f |= kNativePrint;
        }
        if (c >= 0x80 && (f & kNativeDigit) != 0) f &= static_cast<std::uint16_t>(~(kNativeDigit | kNativeXDigit));
        out->flags[c] = f;
        char mapped = byte;
        out->lower[c] = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, &byte, 1, &mapped, 1) == 1
                            ? static_cast<unsigned char>(mapped)
                            : static_cast<unsigned char>(c);
        mapped = byte;
        out->upper[c] = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, &byte, 1, &mapped, 1) == 1
                            ? static_cast<unsigned char>(mapped)
                            : static_cast<unsigned char>(c);
    }
    return true;
}

unsigned native_lead_bytes(bool lead[256]) {
    for (int b = 0; b < 256; ++b) lead[b] = false;
    CPINFO cp;
    if (!GetCPInfo(CP_ACP, &cp)) return 0;
    bool any = false;
    for (int i = 0; i + 1 < MAX_LEADBYTES && cp.LeadByte[i] != 0; i += 2) {
        for (int b = cp.LeadByte[i]; b <= cp.LeadByte[i + 1]; ++b) lead[b] = true;
        any = true;
    }
    return any ? GetACP() : 0;
}

int native_char_to_wide(const unsigned char *bytes, std::size_t size, std::uint32_t *wide) {
    if (size == 0) return -1;
    const int n = IsDBCSLeadByte(bytes[0]) ? 2 : 1;
    if (static_cast<std::size_t>(n) > size) return -1;
    WCHAR w = 0;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(bytes), n, &w, 1) != 1)
        return -1;
    *wide = w;
    return n;
}

int native_wide_to_char(std::uint32_t wide, unsigned char out[2]) {
    if (wide > 0xFFFF) return -1;
    const WCHAR w = static_cast<WCHAR>(wide);
    BOOL defaulted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, &w, 1, reinterpret_cast<char *>(out), 2, nullptr, &defaulted);
    return n > 0 && !defaulted ? n : -1;
}

}  // namespace kez::os

namespace kez::os {

bool native_time_names(const char *, NativeTimeNames *out) {
    // LOCALE_SDAYNAME1 is Monday.
    for (int i = 0; i < 7; ++i) {
        const int monday_first = (i + 6) % 7;
        info(LOCALE_SDAYNAME1 + monday_first, out->day[i], sizeof out->day[i]);
        info(LOCALE_SABBREVDAYNAME1 + monday_first, out->short_day[i], sizeof out->short_day[i]);
    }
    for (int i = 0; i < 12; ++i) {
        info(LOCALE_SMONTHNAME1 + i, out->month[i], sizeof out->month[i]);
        info(LOCALE_SABBREVMONTHNAME1 + i, out->short_month[i], sizeof out->short_month[i]);
    }
    info(LOCALE_S1159, out->am, sizeof out->am);
    info(LOCALE_S2359, out->pm, sizeof out->pm);
    return true;
}

bool native_date_time(const char *, const int fields[9], char *buf, std::size_t size) {
    // The system's formatting knows the years 1601 to 30827 only.
    const int year = fields[5] + 1900;
    if (size < 3 || year < 1601 || year > 30827) return false;
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(fields[4] + 1);
    t.wDay = static_cast<WORD>(fields[3]);
    t.wDayOfWeek = static_cast<WORD>(fields[6]);
    t.wHour = static_cast<WORD>(fields[2]);
    t.wMinute = static_cast<WORD>(fields[1]);
    t.wSecond = static_cast<WORD>(fields[0]);
    const int date = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, buf, static_cast<int>(size));
    if (date <= 0 || static_cast<std::size_t>(date) + 1 >= size) return false;
    buf[date - 1] = ' ';
    const int time = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, buf + date, static_cast<int>(size) - date);
    return time > 0;
}

}  // namespace kez::os
