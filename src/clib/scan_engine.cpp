// The scanf engine. The scanner is a template over its input, so the
// string input is a pointer walk the compiler sees through; the stream
// input reads the locked stream byte by byte, CR LF already made LF.
//
// A field gives back what it read past its end: the byte that ended it,
// and a dangling "e", "e+", "e-" of a real, a lone sign or point, or the
// "x" of a "0x" not followed by a hexadecimal digit (the field is then the
// 0). At most three bytes go back at a time, within a stream's pushback.
#include "clib/scan_engine.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "clib/char_classes.h"
#include "clib/clib_library.h"
#include "clib/format_conversion.h"
#include "clib/decimal_fast_path.h"
#include "clib/decimal_to_double.h"
#include "clib/format_checks.h"
#include "clib/stream.h"

namespace kez::clib {
namespace {

constexpr int kEnd = -1;       // the input has ended
constexpr int kFieldEnd = -2;  // the field's width is used up; nothing was read

// A field without a width: no end but the input's.
constexpr std::int64_t kUnbounded = INT64_MAX;

// Significant digits a real keeps; anything after them counts only as
// zero or not. A midpoint between neighbouring doubles has at most 767
// significant digits, one between 80-bit long doubles at most 11515.
constexpr int kKeptDigits = 800;
#if defined(_WIN32)
constexpr bool kWideReals = false;  // %Lf stores the platform's long double, which is double
#else
constexpr bool kWideReals = true;
#endif
constexpr int kWideKeptDigits = 11600;
// The exponent a real's text carries is kept within this (far beyond any
// result but zero and infinity); exponent digits stop counting at kExponentCap.
constexpr std::int64_t kExponentLimit = 1000000000000;
constexpr std::int64_t kExponentCap = 1000000000000000;

// Digit values in "0123456789abcdefghijklmnopqrstuvwxyz", either case; 36
// for any other byte.
struct DigitValues {
    unsigned char v[256];
};
constexpr DigitValues make_digit_values() {
    DigitValues t{};
    for (auto &x : t.v) x = 36;
    constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (unsigned i = 0; i < 36; ++i) {
        t.v[static_cast<unsigned char>(kDigits[i])] = static_cast<unsigned char>(i);
        if (i >= 10) t.v[static_cast<unsigned char>(kDigits[i] - 'a' + 'A')] = static_cast<unsigned char>(i);
    }
    return t;
}
constexpr DigitValues kDigitValues = make_digit_values();

bool is_decimal(int ch) { return ch >= '0' && ch <= '9'; }

// ---- inputs --------------------------------------------------------------------

class StringInput {
public:
    explicit StringInput(const char *text) : p_(reinterpret_cast<const unsigned char *>(text)), start_(p_) {}
    int get() {
        const int c = *p_;
        if (c == 0) return kEnd;
        ++p_;
        return c;
    }
    void unget(int) { --p_; }
    std::uint64_t consumed() const { return static_cast<std::uint64_t>(p_ - start_); }

private:
    const unsigned char *p_;
    const unsigned char *start_;
};

class StreamInput {
public:
    explicit StreamInput(Stream *s) : s_(s) {}
    int get() {
        // Once the stream has ended only what went back is read again: a
        // terminal is not asked for more within the call.
        if (ended_ && s_->pushed == 0) {
            s_->state |= end_state_;
            return kEnd;
        }
        const int c = get_byte_locked(s_);
        if (c < 0) {
            ended_ = true;
            end_state_ = s_->state & kStateEof;
            return kEnd;
        }
        ++count_;
        return c;
    }
    void unget(int c) {
        unget_locked(s_, c);
        --count_;
    }
    std::uint64_t consumed() const { return count_; }

private:
    Stream *s_;
    std::uint64_t count_ = 0;
    bool ended_ = false;
    unsigned end_state_ = 0;
};

// ---- the scanner ------------------------------------------------------------------

// Where a real's text keeps its digits: they and the exponent make its value.
struct RealDigits {
    const char *first;
    int count;
    std::int64_t exponent;
};

enum class Outcome {
    ok,
    matching,  // the input did not match: the call returns its count
    input,     // the input ended: EOF when nothing was converted yet
    failed,    // the call fails
};

template <class Input>
class Scanner {
public:
    Scanner(Input &in, va_list args, FormatChecks *checks)
        : in_(in), checks_(checks), classes_(char_classes()), lead_(active_lead_bytes()),
          point_(static_cast<unsigned char>(current_decimal_point())) {
        va_copy(ap_, args);
    }
    ~Scanner() { va_end(ap_); }
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    int run(const char *format);

private:
    bool is_space(int ch) const { return (classes_.flags[ch] & kClassSpace) != 0; }

    // Reads past white space: the first other byte, taken, or kEnd.
    int first_after_space() {
        int ch;
        do ch = in_.get();
        while (ch >= 0 && is_space(ch));
        return ch;
    }
    void skip_space() {
        if (const int ch = first_after_space(); ch >= 0) in_.unget(ch);
    }
    // The byte after the one a field just accepted, `left` counting down
    // the bytes it may still take.
    int next(std::int64_t &left) { return --left > 0 ? in_.get() : kFieldEnd; }

    Outcome convert(const Conversion &c);
    bool take_target(ArgKind kind, void *&target);
    Outcome scan_integer(const Conversion &c, void *target);
    Outcome scan_real(const Conversion &c, void *target);
    template <int Kept>
    bool read_real(int ch, std::int64_t left, char *text, RealDigits &digits);
    // Out of line: only the long double conversion pays for its long buffer.
    template <int Kept>
    [[gnu::noinline]] Outcome scan_real_kept(const Conversion &c, void *target, int ch);
    Outcome scan_text(const Conversion &c, char *target, int index);
    Outcome overflow(char *target, std::size_t room, int index, int ch, bool terminate);
    int arguments_after(const unsigned char *f) const;

    Input &in_;
    va_list ap_;
    FormatChecks *checks_;
    const CharClasses &classes_;
    const bool *lead_;
    int point_;
    int taken_ = 0;
    int assigned_ = 0;
    bool converted_ = false;  // a conversion other than %n has completed
};

ArgKind integer_kind(LengthModifier length) {
    switch (length) {
    case LengthModifier::hh: return ArgKind::char_pointer;
    case LengthModifier::h: return ArgKind::short_pointer;
    case LengthModifier::l: return ArgKind::long_pointer;
    case LengthModifier::none: return ArgKind::int_pointer;
    default: return ArgKind::long_long_pointer;
    }
}

// What a conversion stores into. Reals: l double, L long double, anything
// else float.
ArgKind target_kind(const Conversion &c) {
    if ((c.cls & (kConvInteger | kConvN)) != 0) return integer_kind(c.length);
    if ((c.cls & kConvReal) != 0) {
        if (c.length == LengthModifier::l) return ArgKind::double_pointer;
        if (c.length == LengthModifier::L) return ArgKind::long_double_pointer;
        return ArgKind::float_pointer;
    }
    if (c.cls == kConvP) return ArgKind::void_pointer;
    return ArgKind::char_pointer;
}

// Integers are stored reduced modulo 2^N for an N-bit target.
void store_integer(LengthModifier length, void *target, std::uint64_t v) {
    switch (length) {
    case LengthModifier::hh: *static_cast<signed char *>(target) = static_cast<signed char>(v); break;
    case LengthModifier::h: *static_cast<short *>(target) = static_cast<short>(v); break;
    case LengthModifier::l: *static_cast<long *>(target) = static_cast<long>(v); break;
    case LengthModifier::none: *static_cast<int *>(target) = static_cast<int>(v); break;
    default: *static_cast<long long *>(target) = static_cast<long long>(v); break;
    }
}

template <class Input>
bool Scanner<Input>::take_target(ArgKind kind, void *&target) {
    if (checks_ != nullptr && !checks_->has_argument(taken_)) return false;
    target = va_arg(ap_, void *);
    const int index = taken_++;
    if (checks_ != nullptr && !checks_->argument(index, kind, reinterpret_cast<std::uintptr_t>(target))) return false;
    return target != nullptr;
}

template <class Input>
Outcome Scanner<Input>::convert(const Conversion &c) {
    void *target = nullptr;
    const int index = taken_;
    if ((c.flags & kFlagSuppress) == 0 && !take_target(target_kind(c), target)) return Outcome::failed;
    Outcome outcome;
    if ((c.cls & (kConvInteger | kConvP)) != 0) {
        outcome = scan_integer(c, target);
    } else if ((c.cls & kConvReal) != 0) {
        outcome = scan_real(c, target);
    } else if (c.cls == kConvN) {
        if (target != nullptr) store_integer(c.length, target, in_.consumed());
        return Outcome::ok;
    } else {
        outcome = scan_text(c, static_cast<char *>(target), index);
    }
    if (outcome == Outcome::ok) {
        converted_ = true;
        if (target != nullptr) ++assigned_;
    }
    return outcome;
}

template <class Input>
Outcome Scanner<Input>::scan_integer(const Conversion &c, void *target) {
    int ch = first_after_space();
    if (ch == kEnd) return Outcome::input;
    std::int64_t left = c.width > 0 ? c.width : kUnbounded;
    unsigned base = 10;
    if ((c.cls & kConvO) != 0) base = 8;
    else if ((c.cls & (kConvX | kConvXUpper | kConvP)) != 0) base = 16;
    else if (c.cls == kConvI) base = 0;

    int sign = 0;
    if (ch == '+' || ch == '-') {
        sign = ch;
        ch = next(left);
    }
    bool any = false;
    if (ch == '0' && (base == 16 || base == 0)) {
        any = true;
        ch = next(left);
        if (ch == 'x' || ch == 'X') {
            const int x = ch;
            ch = next(left);
            if (ch >= 0 && kDigitValues.v[ch] < 16) {
                base = 16;
            } else {
                if (ch >= 0) in_.unget(ch);
                in_.unget(x);
                ch = kFieldEnd;
            }
        } else if (base == 0) {
            base = 8;
        }
    } else if (base == 0) {
        base = 10;
    }
    std::uint64_t value = 0;
    for (; ch >= 0; ch = next(left)) {
        const unsigned d = kDigitValues.v[ch];
        if (d >= base) break;
        value = value * base + d;
        any = true;
    }
    if (ch >= 0) in_.unget(ch);
    if (!any) {
        if (sign != 0) in_.unget(sign);
        return Outcome::matching;
    }
    if (sign == '-') value = 0 - value;
    if (target != nullptr) {
        if (c.cls == kConvP) *static_cast<void **>(target) = reinterpret_cast<void *>(static_cast<std::uintptr_t>(value));
        else store_integer(c.length, target, value);
    }
    return Outcome::ok;
}

// Reads a real's field, `ch` its first byte, into `text` as
// [-]digits e exponent: the kept significant digits (a sticky 1 after them
// when a dropped one was not zero), scaled by the exponent; `kept` tells
// where they are. False, with what was read given back, when the field has
// no digit.
template <class Input>
template <int Kept>
bool Scanner<Input>::read_real(int ch, std::int64_t left, char *text, RealDigits &kept_digits) {
    char *out = text;
    int sign = 0;
    if (ch == '+' || ch == '-') {
        sign = ch;
        if (ch == '-') *out++ = '-';
        ch = next(left);
    }
    char *const digits = out;
    int kept = 0;
    bool any = false, point = false, sticky = false;
    std::int64_t shift = 0;  // the power of ten the kept digits are scaled by
    for (;; ch = next(left)) {
        if (is_decimal(ch)) {
            any = true;
            if (kept == 0 && ch == '0') {
                if (point) --shift;
            } else if (kept < Kept) {
                digits[kept++] = static_cast<char>(ch);
                if (point) --shift;
            } else {
                sticky |= ch != '0';
                if (!point) ++shift;
            }
        } else if (ch == point_ && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any) {
        if (ch >= 0) in_.unget(ch);
        if (point) in_.unget(point_);
        if (sign != 0) in_.unget(sign);
        return false;
    }
    std::int64_t exponent = 0;
    if (ch == 'e' || ch == 'E') {
        const int e = ch;
        int exponent_sign = 0;
        ch = next(left);
        if (ch == '+' || ch == '-') {
            exponent_sign = ch;
            ch = next(left);
        }
        if (is_decimal(ch)) {
            for (; is_decimal(ch); ch = next(left))
                if (exponent < kExponentCap) exponent = exponent * 10 + (ch - '0');
            if (exponent_sign == '-') exponent = -exponent;
        } else {
            if (ch >= 0) in_.unget(ch);
            if (exponent_sign != 0) in_.unget(exponent_sign);
            in_.unget(e);
            ch = kFieldEnd;
        }
    }
    if (ch >= 0) in_.unget(ch);
    if (kept == 0) {
        digits[kept++] = '0';
        exponent = 0;
        shift = 0;
    } else if (sticky) {
        digits[kept++] = '1';
        --shift;
    }
    exponent += shift;
    if (exponent > kExponentLimit) exponent = kExponentLimit;
    if (exponent < -kExponentLimit) exponent = -kExponentLimit;
    kept_digits = {digits, kept, exponent};
    out = digits + kept;
    *out++ = 'e';
    if (exponent < 0) *out++ = '-';
    std::uint64_t magnitude = exponent < 0 ? 0 - static_cast<std::uint64_t>(exponent) : static_cast<std::uint64_t>(exponent);
    char reversed[24];
    int n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) *out++ = reversed[--n];
    *out = '\0';
    return true;
}

template <class Input>
template <int Kept>
Outcome Scanner<Input>::scan_real_kept(const Conversion &c, void *target, int ch) {
    // Sign, digits, sticky digit, 'e', exponent sign and digits, NUL.
    char text[Kept + 32];
    RealDigits digits;
    if (!read_real<Kept>(ch, c.width > 0 ? c.width : kUnbounded, text, digits)) return Outcome::matching;
    const ArgKind kind = target_kind(c);
    if (kind == ArgKind::double_pointer || (kind == ArgKind::long_double_pointer && !kWideReals)) {
        // Up to 19 digits, most fields, are settled without the text; the
        // result is a normal double, so errno stays as it is.
        if (digits.count <= 19) {
            std::uint64_t w = 0;
            for (int i = 0; i < digits.count; ++i) w = w * 10 + static_cast<unsigned>(digits.first[i] - '0');
            std::uint64_t bits;
            if (w != 0 && fast_decimal_to_double(w, digits.exponent, &bits)) {
                if (text[0] == '-') bits |= std::uint64_t{1} << 63;
                if (target != nullptr) std::memcpy(target, &bits, sizeof bits);
                return Outcome::ok;
            }
        }
    }
    const int saved = *errno_cell();
    bool range_error;
    if (kind == ArgKind::float_pointer) {
        const ParsedFloat r = parse_float(text, '.');
        range_error = r.range_error || std::isinf(r.value);
        if (target != nullptr) *static_cast<float *>(target) = r.value;
    } else if (kind == ArgKind::long_double_pointer && kWideReals) {
        const ParsedLongDouble r = parse_long_double(text, '.');
        range_error = r.range_error;
        if (target != nullptr) *static_cast<long double *>(target) = r.value;
    } else {
        const ParsedDouble r = parse_double(text, '.');
        range_error = r.range_error;
        if (target != nullptr) *static_cast<double *>(target) = r.value;
    }
    set_errno(range_error ? kERANGE : saved);
    return Outcome::ok;
}

template <class Input>
Outcome Scanner<Input>::scan_real(const Conversion &c, void *target) {
    const int ch = first_after_space();
    if (ch == kEnd) return Outcome::input;
    if constexpr (kWideReals) {
        if (c.length == LengthModifier::L) return scan_real_kept<kWideKeptDigits>(c, target, ch);
    }
    return scan_real_kept<kKeptDigits>(c, target, ch);
}

template <class Input>
Outcome Scanner<Input>::overflow(char *target, std::size_t room, int index, int ch, bool terminate) {
    in_.unget(ch);
    if (terminate && room > 0) target[room - 1] = '\0';
    checks_->write_beyond_target(index);
    return Outcome::failed;
}

// %c, %s and %[. `room`: the bytes the target is known to hold.
template <class Input>
Outcome Scanner<Input>::scan_text(const Conversion &c, char *target, int index) {
    const std::size_t room = target != nullptr && checks_ != nullptr ? checks_->known_size(index) : SIZE_MAX;
    std::size_t n = 0;
    if (c.cls == kConvC) {
        std::int64_t left = c.width > 0 ? c.width : 1;
        int ch = in_.get();
        if (ch == kEnd) return Outcome::input;
        // An input that ends within the width gives a shorter field.
        for (; ch >= 0; ch = next(left), ++n) {
            if (target == nullptr) continue;
            if (n >= room) return overflow(target, room, index, ch, false);
            target[n] = static_cast<char>(ch);
        }
        return Outcome::ok;
    }
    std::int64_t left = c.width > 0 ? c.width : kUnbounded;
    int ch;
    if (c.cls == kConvS) {
        ch = first_after_space();
        if (ch == kEnd) return Outcome::input;
        for (; ch >= 0 && !is_space(ch); ch = next(left), ++n) {
            if (target == nullptr) continue;
            if (n + 1 >= room) return overflow(target, room, index, ch, true);
            target[n] = static_cast<char>(ch);
        }
    } else {
        const ScanSet set = make_scanset(c);
        ch = in_.get();
        if (ch == kEnd) return Outcome::input;
        for (; ch >= 0 && set.holds(static_cast<unsigned char>(ch)); ch = next(left), ++n) {
            if (target == nullptr) continue;
            if (n + 1 >= room) return overflow(target, room, index, ch, true);
            target[n] = static_cast<char>(ch);
        }
        if (n == 0) {
            in_.unget(ch);
            return Outcome::matching;
        }
    }
    if (ch >= 0) in_.unget(ch);
    if (target != nullptr) target[n] = '\0';
    return Outcome::ok;
}

// The arguments the format from `f` on would take: for the checks' count
// after the input stopped the call.
template <class Input>
int Scanner<Input>::arguments_after(const unsigned char *f) const {
    int n = 0;
    while (*f != 0) {
        if (*f != '%') {
            f += lead_ != nullptr && lead_[*f] && f[1] != 0 ? 2 : 1;
            continue;
        }
        if (f[1] == '%') {
            f += 2;
            continue;
        }
        Conversion c;
        const ParsedConversion parsed = parse_scan_conversion(reinterpret_cast<const char *>(f) + 1, c);
        if (parsed.error != FormatError::none) break;
        if ((c.flags & kFlagSuppress) == 0) ++n;
        f = reinterpret_cast<const unsigned char *>(parsed.next);
    }
    return n;
}

template <class Input>
int Scanner<Input>::run(const char *format) {
    const auto *f = reinterpret_cast<const unsigned char *>(format);
    Outcome outcome = Outcome::ok;
    while (*f != 0) {
        if (is_space(*f)) {
            do ++f;
            while (is_space(*f));
            skip_space();
            continue;
        }
        if (*f != '%') {
            // An ordinary character matches itself; a two-byte character
            // both its bytes.
            const int size = lead_ != nullptr && lead_[*f] && f[1] != 0 ? 2 : 1;
            for (int i = 0; i < size && outcome == Outcome::ok; ++i) {
                const int ch = in_.get();
                if (ch == kEnd) {
                    outcome = Outcome::input;
                } else if (ch != f[i]) {
                    in_.unget(ch);
                    outcome = Outcome::matching;
                }
            }
            if (outcome != Outcome::ok) break;
            f += size;
            continue;
        }
        if (f[1] == '%') {
            const int ch = first_after_space();
            if (ch == kEnd) {
                outcome = Outcome::input;
                break;
            }
            if (ch != '%') {
                in_.unget(ch);
                outcome = Outcome::matching;
                break;
            }
            f += 2;
            continue;
        }
        Conversion c;
        const ParsedConversion parsed = parse_scan_conversion(reinterpret_cast<const char *>(f) + 1, c);
        if (parsed.error != FormatError::none) {
            if (checks_ != nullptr) {
                if (parsed.error == FormatError::negative_width) checks_->negative_width();
                else checks_->format_error(static_cast<int>(parsed.next - format) + 1, parsed.error);
            }
            return kScanFailed;
        }
        if (checks_ != nullptr) checks_->conversion(c, true);
        // %lc, %ls and %l[ ask for wide text, which the engine does not
        // read: refused rather than stored narrow into wide targets.
        if (c.length == LengthModifier::l && (c.cls & (kConvC | kConvS | kConvScanset)) != 0) return kScanFailed;
        // The parser cannot tell a million or more from each other.
        if (c.width >= kWidthSaturated) {
            if (checks_ != nullptr) checks_->field_too_wide();
            return kScanFailed;
        }
        f = reinterpret_cast<const unsigned char *>(parsed.next);
        outcome = convert(c);
        if (outcome != Outcome::ok) break;
    }
    if (outcome == Outcome::failed) return kScanFailed;
    if (checks_ != nullptr) checks_->finish(taken_ + (outcome == Outcome::ok ? 0 : arguments_after(f)));
    if (outcome == Outcome::input && !converted_) return -1;
    return assigned_;
}

template <class Input>
int scan(Input &in, const char *format, va_list args, FormatChecks *checks) {
    int result;
    if (format == nullptr) {
        if (checks != nullptr) checks->null_format();
        result = kScanFailed;
    } else {
        Scanner<Input> scanner(in, args, checks);
        result = scanner.run(format);
    }
    if (result == kScanFailed) set_errno(kEINVAL);
    return result;
}

}  // namespace

int scan_string(const char *input, const char *format, va_list args, FormatChecks *checks) noexcept {
    StringInput in(input);
    return scan(in, format, args, checks);
}

int scan_stream_locked(Stream *s, const char *format, va_list args, FormatChecks *checks) noexcept {
    StreamInput in(s);
    return scan(in, format, args, checks);
}

}  // namespace kez::clib
