// The conversion parser shared by the printf and scanf engines: one `%`
// item of a C format, read into a record. It has no state and no locks.
//
// Widths and precisions are decimal digits only (no white space, no sign),
// saturating at kWidthSaturated: anything of 510 or more is "too wide",
// which the engines refuse, so no count can wrap.
#pragma once

#include <cstdint>

namespace kez::clib {

// One bit per conversion; the values are the ones the run-time checks use.
enum ConversionClass : unsigned {
    kConvI = 1,
    kConvU = 2,
    kConvO = 4,
    kConvX = 8,
    kConvXUpper = 16,
    kConvF = 32,
    kConvE = 64,
    kConvEUpper = 128,
    kConvG = 256,
    kConvGUpper = 512,
    kConvC = 1024,
    kConvS = 2048,
    kConvP = 4096,
    kConvN = 8192,
    kConvD = 16384,
    kConvScanset = 32768,
};
constexpr unsigned kConvSigned = kConvD | kConvI;
constexpr unsigned kConvInteger = kConvD | kConvI | kConvU | kConvO | kConvX | kConvXUpper;
constexpr unsigned kConvReal = kConvF | kConvE | kConvEUpper | kConvG | kConvGUpper;

enum ConversionFlag : unsigned {
    kFlagPlus = 1,
    kFlagMinus = 2,
    kFlagSpace = 4,
    kFlagAlternate = 8,
    kFlagZero = 16,
    kFlagWidth = 32,      // a width was given (digits or *)
    kFlagPrecision = 64,  // a precision was given
    kFlagSuppress = 128,  // scanf: '*', no assignment
    kFlagNegated = 256,   // scanf: "[^"
};

enum class LengthModifier : unsigned char { none, hh, h, l, ll, i64, L, j, z, t };

// Width and precision values besides a number.
constexpr int kNotGiven = -2;
constexpr int kFromArgument = -1;
// The most a width or precision may be; a larger one is refused.
constexpr int kMaxFieldWidth = 509;
// What a longer run of digits reads as.
constexpr int kWidthSaturated = 1000000;

struct Conversion {
    unsigned cls = 0;
    unsigned flags = 0;
    int width = kNotGiven;
    int precision = kNotGiven;
    LengthModifier length = LengthModifier::none;
    char letter = 0;
    // scanf's scanset: the characters between '[' (after '^') and ']'.
    const char *set = nullptr;
    int set_length = 0;
};

enum class FormatError {
    none,
    unknown_specifier,  // "Unknown specifier."
    unexpected_end,     // "Unexpected end of format string."
    missing_bracket,    // "Missing right bracket (])."
    negative_width,     // scanf: "Negative field width specified."
};

struct ParsedConversion {
    const char *next;   // the character after the item; at the error when it failed
    FormatError error;
};

// printf: `p` points after the '%' (a "%%" is the caller's).
ParsedConversion parse_print_conversion(const char *p, Conversion &c) noexcept;
// scanf: `p` points after the '%'.
ParsedConversion parse_scan_conversion(const char *p, Conversion &c) noexcept;

// The message text of a format error (null for none).
const char *format_error_text(FormatError error) noexcept;

// The checking messages a well-formed conversion draws (modifiers and flags
// that do not belong to it), as message numbers in the order found; at most
// kMaxModifierFindings. `scan` selects scanf's table.
constexpr int kMaxModifierFindings = 4;
int modifier_findings(const Conversion &c, bool scan, int *numbers) noexcept;

// The bytes a scanf scanset accepts, one bit each (negation applied).
// An ascending range such as a-z stands for its bytes; a '-' first, last or
// before a lower byte is itself.
struct ScanSet {
    uint64_t bits[4];
    bool holds(unsigned char ch) const { return (bits[ch >> 6] >> (ch & 63)) & 1; }
};
ScanSet make_scanset(const Conversion &c) noexcept;

}  // namespace kez::clib
