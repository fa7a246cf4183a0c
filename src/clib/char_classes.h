// The C library's character classes and case mappings: one table of 256
// entries, reached through a pointer that a native locale can replace. The
// engine's own parsing (strtol, stricmp) classifies through it too.
#pragma once

#include <cstdint>

namespace kez::clib {

enum : std::uint16_t {
    kClassUpper = 1,
    kClassLower = 2,
    kClassDigit = 4,
    kClassSpace = 8,
    kClassPunct = 16,
    kClassCntrl = 32,
    kClassXDigit = 64,
    kClassPrint = 128,
};

struct CharClasses {
    std::uint16_t flags[256];
    unsigned char lower[256];
    unsigned char upper[256];
};

// The classes in force (the "C" locale's until a locale replaces them).
const CharClasses &char_classes() noexcept;

// Makes `table` the classes in force; null restores the "C" locale's.
void use_char_classes(const CharClasses *table) noexcept;

// The decimal point of the locale in force ('.' in the "C" locale).
char current_decimal_point() noexcept;

inline bool is_space_char(unsigned char c) noexcept { return (char_classes().flags[c] & kClassSpace) != 0; }
inline int lower_char(unsigned char c) noexcept { return char_classes().lower[c]; }

}  // namespace kez::clib
