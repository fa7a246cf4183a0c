// The C library's character classes and case mappings: one table of 256
// entries, reached through a pointer that a native locale can replace. The
// engine's own parsing (strtol, stricmp) classifies through it too.
#pragma once

#include <cstdint>

#include "os/locale.h"

namespace kez::clib {

// The table and its class bits are the platform layer's, which reads a
// native locale's classes into the same form.
using CharClasses = os::NativeClasses;
enum : std::uint16_t {
    kClassUpper = os::kNativeUpper,
    kClassLower = os::kNativeLower,
    kClassDigit = os::kNativeDigit,
    kClassSpace = os::kNativeSpace,
    kClassPunct = os::kNativePunct,
    kClassCntrl = os::kNativeCntrl,
    kClassXDigit = os::kNativeXDigit,
    kClassPrint = os::kNativePrint,
};

// The classes in force (the "C" locale's until a locale replaces them).
const CharClasses &char_classes() noexcept;

// Makes `table` the classes in force; null restores the "C" locale's.
void use_char_classes(const CharClasses *table) noexcept;

// The decimal point of the locale in force ('.' in the "C" locale).
char current_decimal_point() noexcept;

// The lead bytes of the multibyte code page (256 entries), or null when it
// has none. A lead byte and the byte after it are one character.
const bool *active_lead_bytes() noexcept;

inline bool is_space_char(unsigned char c) noexcept { return (char_classes().flags[c] & kClassSpace) != 0; }
inline int lower_char(unsigned char c) noexcept { return char_classes().lower[c]; }

}  // namespace kez::clib
