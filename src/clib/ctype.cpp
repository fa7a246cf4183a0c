// ctype.h: the "C" locale's classes as a table built at compile time.
#include <atomic>

#include "clib/char_classes.h"
#include "clib/clib_string_exports.h"

namespace kez::clib {
namespace {

constexpr CharClasses make_c_locale() {
    CharClasses t{};
    for (int c = 0; c < 256; ++c) {
        std::uint16_t f = 0;
        if (c >= 'A' && c <= 'Z') f |= kClassUpper | kClassPrint;
        if (c >= 'a' && c <= 'z') f |= kClassLower | kClassPrint;
        if (c >= '0' && c <= '9') f |= kClassDigit | kClassXDigit | kClassPrint;
        if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) f |= kClassXDigit;
        if (c == ' ' || (c >= '\t' && c <= '\r')) f |= kClassSpace;
        if (c < 0x20 || c == 0x7f) f |= kClassCntrl;
        if (c == ' ') f |= kClassPrint;
        // Printing characters other than space, letters and digits.
        if (c > 0x20 && c < 0x7f && (f & (kClassUpper | kClassLower | kClassDigit)) == 0)
            f |= kClassPunct | kClassPrint;
        t.flags[c] = f;
        t.lower[c] = static_cast<unsigned char>((f & kClassUpper) != 0 ? c - 'A' + 'a' : c);
        t.upper[c] = static_cast<unsigned char>((f & kClassLower) != 0 ? c - 'a' + 'A' : c);
    }
    return t;
}

constexpr CharClasses kCLocale = make_c_locale();
std::atomic<const CharClasses *> g_classes{&kCLocale};

// Classes of an argument: a value outside unsigned char (EOF included) has
// none.
inline int classes_of(int c, std::uint16_t mask) {
    if (c < 0 || c > 255) return 0;
    return char_classes().flags[c] & mask;
}

}  // namespace

const CharClasses &char_classes() noexcept { return *g_classes.load(std::memory_order_acquire); }

void use_char_classes(const CharClasses *table) noexcept {
    g_classes.store(table != nullptr ? table : &kCLocale, std::memory_order_release);
}

}  // namespace kez::clib

using namespace kez::clib;

extern "C" int kez_isalnum(int c) { return classes_of(c, kClassUpper | kClassLower | kClassDigit); }
extern "C" int kez_isalpha(int c) { return classes_of(c, kClassUpper | kClassLower); }
extern "C" int kez_iscntrl(int c) { return classes_of(c, kClassCntrl); }
extern "C" int kez_isdigit(int c) { return classes_of(c, kClassDigit); }
extern "C" int kez_isgraph(int c) { return classes_of(c, kClassUpper | kClassLower | kClassDigit | kClassPunct); }
extern "C" int kez_islower(int c) { return classes_of(c, kClassLower); }
extern "C" int kez_isprint(int c) { return classes_of(c, kClassPrint); }
extern "C" int kez_ispunct(int c) { return classes_of(c, kClassPunct); }
extern "C" int kez_isspace(int c) { return classes_of(c, kClassSpace); }
extern "C" int kez_isupper(int c) { return classes_of(c, kClassUpper); }
extern "C" int kez_isxdigit(int c) { return classes_of(c, kClassXDigit); }
extern "C" int kez_tolower(int c) { return c < 0 || c > 255 ? c : char_classes().lower[c]; }
extern "C" int kez_toupper(int c) { return c < 0 || c > 255 ? c : char_classes().upper[c]; }
