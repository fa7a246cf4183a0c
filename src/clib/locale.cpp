// locale.h: each category is the "C" locale or the system's native locale.
// setlocale switches them under one lock; what the other functions read
// (the decimal point, the class table, the multibyte mode) is published
// through atomics, and localeconv's structure points into buffers that only
// setlocale rewrites.
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "clib/char_classes.h"
#include "clib/clib_locale_exports.h"
#include "os/locale.h"

namespace kez::clib {
namespace {

constexpr int kCategories = 5;  // LC_COLLATE .. LC_TIME
constexpr int kCtype = 2, kMonetary = 3, kNumeric = 4, kTime = 5;
constexpr std::size_t kNameSize = 128;

std::mutex g_lock;
char g_names[kCategories][kNameSize] = {"C", "C", "C", "C", "C"};
char g_all_name[kCategories * kNameSize];  // LC_ALL's name when the categories differ
os::NativeFormats g_numeric, g_monetary;
KezLconv g_lconv;
std::atomic<char> g_decimal_point{'.'};
CharClasses g_native_classes;
bool g_native_classes_loaded = false;
// The native time names are read once and never rewritten; the flag says
// whether they are in force.
os::NativeTimeNames g_native_time_names;
char g_native_time_locale[kNameSize];
bool g_native_time_loaded = false;
std::atomic<bool> g_native_time{false};

// Copies a name, cut to kNameSize - 1 bytes.
void copy_name(char *dest, const char *src) {
    std::size_t n = 0;
    for (; n < kNameSize - 1 && src[n] != '\0'; ++n) dest[n] = src[n];
    dest[n] = '\0';
}

void set_c_formats(os::NativeFormats *f) {
    std::memset(f, 0, sizeof *f);
    f->decimal_point[0] = '.';
    std::memset(&f->int_frac_digits, 127, &f->n_sign_posn + 1 - &f->int_frac_digits);
}

// Points the structure at the buffers; run under the lock after a change.
void publish() {
    KezLconv &l = g_lconv;
    l.decimal_point = g_numeric.decimal_point;
    l.thousands_sep = g_numeric.thousands_sep;
    l.grouping = g_numeric.grouping;
    l.int_curr_symbol = g_monetary.int_curr_symbol;
    l.currency_symbol = g_monetary.currency_symbol;
    l.mon_decimal_point = g_monetary.mon_decimal_point;
    l.mon_thousands_sep = g_monetary.mon_thousands_sep;
    l.mon_grouping = g_monetary.mon_grouping;
    l.positive_sign = g_monetary.positive_sign;
    l.negative_sign = g_monetary.negative_sign;
    l.int_frac_digits = g_monetary.int_frac_digits;
    l.frac_digits = g_monetary.frac_digits;
    l.p_cs_precedes = l.int_p_cs_precedes = g_monetary.p_cs_precedes;
    l.p_sep_by_space = l.int_p_sep_by_space = g_monetary.p_sep_by_space;
    l.n_cs_precedes = l.int_n_cs_precedes = g_monetary.n_cs_precedes;
    l.n_sep_by_space = l.int_n_sep_by_space = g_monetary.n_sep_by_space;
    l.p_sign_posn = l.int_p_sign_posn = g_monetary.p_sign_posn;
    l.n_sign_posn = l.int_n_sign_posn = g_monetary.n_sign_posn;
    // strtod reads one byte; a longer decimal point keeps '.'.
    const char *point = g_numeric.decimal_point;
    g_decimal_point.store(point[0] != '\0' && point[1] == '\0' ? point[0] : '.', std::memory_order_release);
}

struct Initial {
    Initial() {
        set_c_formats(&g_numeric);
        set_c_formats(&g_monetary);
        publish();
    }
} g_initial;

// A requested name for one category, resolved: "C", or the native
// locale's name. False for a name the engine does not know.
bool resolve(int category, const char *name, char *out) {
    if (std::strcmp(name, "C") == 0) {
        copy_name(out, "C");
        return true;
    }
    char native[kNameSize];
    if (!os::native_locale_name(category, native, sizeof native)) return false;
    if (*name != '\0' && std::strcmp(name, native) != 0) return false;
    copy_name(out, native);
    return true;
}

// Makes a resolved name the category's locale. False when the system
// cannot load it (nothing changed then).
bool apply(int category, const char *name) {
    const bool c_locale = std::strcmp(name, "C") == 0;
    if (category == kNumeric || category == kMonetary) {
        os::NativeFormats f;
        set_c_formats(&f);
        if (!c_locale && !os::native_formats(category, name, &f)) return false;
        os::NativeFormats &target = category == kNumeric ? g_numeric : g_monetary;
        if (category == kNumeric) {
            std::memcpy(target.decimal_point, f.decimal_point, sizeof f.decimal_point);
            std::memcpy(target.thousands_sep, f.thousands_sep, sizeof f.thousands_sep);
            std::memcpy(target.grouping, f.grouping, sizeof f.grouping);
        } else {
            std::memcpy(target.int_curr_symbol, f.int_curr_symbol,
                        sizeof f - offsetof(os::NativeFormats, int_curr_symbol));
        }
    } else if (category == kCtype) {
        if (!c_locale && !g_native_classes_loaded) {
            // Read once; the table is in force only after it is complete.
            if (!os::native_classes(name, &g_native_classes)) return false;
            g_native_classes_loaded = true;
        }
        use_char_classes(c_locale ? nullptr : &g_native_classes);
        use_native_multibyte(!c_locale);
    } else if (category == kTime) {
        if (!c_locale && !g_native_time_loaded) {
            if (!os::native_time_names(name, &g_native_time_names)) return false;
            copy_name(g_native_time_locale, name);
            g_native_time_loaded = true;
        }
        g_native_time.store(!c_locale, std::memory_order_release);
    }
    copy_name(g_names[category - 1], name);
    return true;
}

char *all_name() {
    bool same = true;
    for (int i = 1; i < kCategories; ++i) same = same && std::strcmp(g_names[i], g_names[0]) == 0;
    if (same) return g_names[0];
    g_all_name[0] = '\0';
    for (int i = 0; i < kCategories; ++i) {
        if (i > 0) std::strcat(g_all_name, ":");
        std::strcat(g_all_name, g_names[i]);
    }
    return g_all_name;
}

// LC_ALL: one name for every category, or a name per category separated
// by ':'. All are resolved before any is applied.
char *set_all(const char *name) {
    char resolved[kCategories][kNameSize];
    const char *piece = name;
    const bool composite = std::strchr(name, ':') != nullptr;
    for (int i = 0; i < kCategories; ++i) {
        char one[kNameSize];
        if (composite) {
            const char *end = std::strchr(piece, ':');
            if (end == nullptr) end = piece + std::strlen(piece);
            if ((*end == '\0') != (i == kCategories - 1)) return nullptr;  // not five parts
            const auto n = static_cast<std::size_t>(end - piece);
            if (n == 0 || n >= kNameSize) return nullptr;
            std::memcpy(one, piece, n);
            one[n] = '\0';
            piece = end + 1;
        } else {
            copy_name(one, name);
        }
        if (!resolve(i + 1, one, resolved[i])) return nullptr;
    }
    // Loading can fail only for a native locale; try those first so that
    // a failure leaves everything as it was.
    char saved[kCategories][kNameSize];
    std::memcpy(saved, g_names, sizeof saved);
    for (int i = 0; i < kCategories; ++i) {
        if (!apply(i + 1, resolved[i])) {
            for (int j = 0; j < i; ++j) apply(j + 1, saved[j]);
            publish();
            return nullptr;
        }
    }
    publish();
    return all_name();
}

}  // namespace

const os::NativeTimeNames *native_time_names() noexcept {
    return g_native_time.load(std::memory_order_acquire) ? &g_native_time_names : nullptr;
}

const char *native_time_locale() noexcept { return g_native_time_locale; }

char current_decimal_point() noexcept { return g_decimal_point.load(std::memory_order_acquire); }

}  // namespace kez::clib

using namespace kez::clib;

extern "C" char *kez_setlocale(int category, const char *name) {
    if (category < 0 || category > kCategories) return nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    if (category == 0) return name == nullptr ? all_name() : set_all(name);
    if (name == nullptr) return g_names[category - 1];
    char resolved[kNameSize];
    if (!resolve(category, name, resolved) || !apply(category, resolved)) return nullptr;
    publish();
    return g_names[category - 1];
}

extern "C" KezLconv *kez_localeconv(void) { return &g_lconv; }
