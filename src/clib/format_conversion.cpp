#include "clib/format_conversion.h"

#include <cstring>

namespace kez::clib {
namespace {

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Decimal digits at p, saturating; p is left after them.
int read_count(const char *&p) {
    int value = 0;
    for (; is_digit(*p); ++p) {
        if (value < kWidthSaturated) value = value * 10 + (*p - '0');
        if (value > kWidthSaturated) value = kWidthSaturated;
    }
    return value;
}

const char *read_length(const char *p, LengthModifier &length) {
    switch (*p) {
    case 'h':
        if (p[1] == 'h') {
            length = LengthModifier::hh;
            return p + 2;
        }
        length = LengthModifier::h;
        return p + 1;
    case 'l':
        if (p[1] == 'l') {
            length = LengthModifier::ll;
            return p + 2;
        }
        length = LengthModifier::l;
        return p + 1;
    case 'L': length = LengthModifier::L; return p + 1;
    case 'j': length = LengthModifier::j; return p + 1;
    case 'z': length = LengthModifier::z; return p + 1;
    case 't': length = LengthModifier::t; return p + 1;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            length = LengthModifier::i64;
            return p + 3;
        }
        return p;
    default: return p;
    }
}

unsigned class_of(char letter) {
    switch (letter) {
    case 'd': return kConvD;
    case 'i': return kConvI;
    case 'u': return kConvU;
    case 'o': return kConvO;
    case 'x': return kConvX;
    case 'X': return kConvXUpper;
    case 'f': return kConvF;
    case 'e': return kConvE;
    case 'E': return kConvEUpper;
    case 'g': return kConvG;
    case 'G': return kConvGUpper;
    case 'c': return kConvC;
    case 's': return kConvS;
    case 'p': return kConvP;
    case 'n': return kConvN;
    case '[': return kConvScanset;
    default: return 0;
    }
}

ParsedConversion finish(const char *p, Conversion &c, bool scan) {
    if (*p == '\0') return {p, FormatError::unexpected_end};
    c.letter = *p;
    c.cls = class_of(*p);
    if (c.cls == 0 || (c.cls == kConvScanset && !scan)) return {p, FormatError::unknown_specifier};
    ++p;
    if (c.cls != kConvScanset) return {p, FormatError::none};
    if (*p == '^') {
        c.flags |= kFlagNegated;
        ++p;
    }
    const char *start = p;
    if (*p == ']') ++p;  // a ']' first belongs to the set
    const char *close = std::strchr(p, ']');
    if (close == nullptr) return {p + std::strlen(p), FormatError::missing_bracket};
    c.set = start;
    c.set_length = static_cast<int>(close - start);
    return {close + 1, FormatError::none};
}

}  // namespace

ParsedConversion parse_print_conversion(const char *p, Conversion &c) noexcept {
    c = Conversion{};
    for (;; ++p) {
        switch (*p) {
        case '+': c.flags |= kFlagPlus; continue;
        case '-': c.flags |= kFlagMinus; continue;
        case ' ': c.flags |= kFlagSpace; continue;
        case '#': c.flags |= kFlagAlternate; continue;
        case '0': c.flags |= kFlagZero; continue;
        default: break;
        }
        break;
    }
    if (*p == '*') {
        c.width = kFromArgument;
        c.flags |= kFlagWidth;
        ++p;
    } else if (is_digit(*p)) {
        c.width = read_count(p);
        c.flags |= kFlagWidth;
    }
    if (*p == '.') {
        ++p;
        c.flags |= kFlagPrecision;
        if (*p == '*') {
            c.precision = kFromArgument;
            ++p;
        } else {
            c.precision = read_count(p);
        }
    }
    p = read_length(p, c.length);
    return finish(p, c, false);
}

ParsedConversion parse_scan_conversion(const char *p, Conversion &c) noexcept {
    c = Conversion{};
    if (*p == '*') {
        c.flags |= kFlagSuppress;
        ++p;
    }
    // A sign before the width: '-' asks for a negative count, which no
    // field can have; '+' is harmless.
    if (*p == '-') return {p, FormatError::negative_width};
    if (*p == '+' && is_digit(p[1])) ++p;
    if (is_digit(*p)) {
        const int width = read_count(p);
        if (width > 0) {
            c.width = width;
            c.flags |= kFlagWidth;
        }
    }
    p = read_length(p, c.length);
    return finish(p, c, true);
}

const char *format_error_text(FormatError error) noexcept {
    switch (error) {
    case FormatError::unknown_specifier: return "Unknown specifier.";
    case FormatError::unexpected_end: return "Unexpected end of format string.";
    case FormatError::missing_bracket: return "Missing right bracket (]).";
    case FormatError::negative_width: return "Negative field width specified.";
    case FormatError::none: break;
    }
    return nullptr;
}

int modifier_findings(const Conversion &c, bool scan, int *numbers) noexcept {
    int n = 0;
    const unsigned textual = kConvC | kConvS | (scan ? kConvScanset : 0u);
    if ((c.cls & textual) != 0) {
        switch (c.length) {
        case LengthModifier::hh: numbers[n++] = 460; break;
        case LengthModifier::h: numbers[n++] = 224; break;
        case LengthModifier::l: numbers[n++] = scan ? 225 : 227; break;
        case LengthModifier::ll:
        case LengthModifier::i64: numbers[n++] = 228; break;
        case LengthModifier::j: numbers[n++] = 453; break;
        default: break;
        }
    }
    if (c.length == LengthModifier::L && (c.cls & kConvReal) == 0) numbers[n++] = 226;
    if ((c.length == LengthModifier::z || c.length == LengthModifier::t) && (c.cls & (kConvInteger | kConvN)) == 0)
        numbers[n++] = 454;
    if (!scan) {
        if ((c.flags & kFlagAlternate) != 0 && (c.cls & (kConvD | kConvI | kConvU | kConvC | kConvS | kConvP | kConvN)) != 0)
            numbers[n++] = 229;
        // %p takes zero padding as %x does: only c, s and n draw 230, whatever
        // the message's text lists.
        if ((c.flags & kFlagZero) != 0 && (c.cls & (kConvC | kConvS | kConvN)) != 0) numbers[n++] = 230;
    }
    return n;
}

ScanSet make_scanset(const Conversion &c) noexcept {
    ScanSet set{};
    const auto *s = reinterpret_cast<const unsigned char *>(c.set);
    const int n = c.set_length;
    auto add = [&set](unsigned ch) { set.bits[ch >> 6] |= uint64_t{1} << (ch & 63); };
    for (int i = 0; i < n; ++i) {
        if (s[i] == '-' && i > 0 && i + 1 < n && s[i - 1] < s[i + 1]) {
            for (unsigned ch = s[i - 1] + 1u; ch <= s[i + 1]; ++ch) add(ch);
            ++i;
            continue;
        }
        add(s[i]);
    }
    if ((c.flags & kFlagNegated) != 0)
        for (auto &word : set.bits) word = ~word;
    return set;
}

}  // namespace kez::clib
