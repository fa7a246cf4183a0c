#include "fmtio/format_engine.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "clib/decimal_to_double.h"
#include "clib/double_to_decimal.h"
#include "clib/print_engine.h"
#include "fmtio/call_checks.h"
#include "fmtio/file_table.h"

namespace kez::fmtio {

namespace {

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void set_all(std::uint64_t *members) { std::memset(members, 0xFF, 4 * sizeof(std::uint64_t)); }
void clear(std::uint64_t *members, unsigned char c) { members[c >> 6] &= ~(std::uint64_t{1} << (c & 63)); }

const Specifier &default_string() {
    static const Specifier s = [] {
        Specifier d;
        d.kind = SpecKind::string;
        d.letter = 's';
        d.size = 1;
        d.fixed = true;
        return d;
    }();
    return s;
}

bool illegal(Call &call, int message, int param) {
    call.illegal_message = message;
    call.illegal_param = param;
    return false;
}

// A field's value: its number, its asterisk's value (a negative one is
// illegal), or `absent`.
bool field_value(Call &call, const Field &f, std::uint64_t absent, std::uint64_t *out, int *from_param) {
    *from_param = 0;
    switch (f.source) {
    case Field::absent: *out = absent; return true;
    case Field::number: *out = f.value; return true;
    case Field::asterisk: break;
    }
    const Param &p = call.params[f.slot];
    *from_param = p.number;
    if (p.value < 0) return illegal(call, 256, p.number);
    *out = static_cast<std::uint64_t>(p.value);
    return true;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    if (a == kUnlimited || b == kUnlimited) return kUnlimited;
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? kUnlimited : r;
}

// ---- streams -------------------------------------------------------------

void fail_io(Call &call, int error) {
    call.io_error = error;
    call.status = Status::fatal;
}

// The next byte of a source, not taken; -1 at its end (status set). A
// text source ends at a terminator: a memory source leaves it, a file
// source takes it.
int peek(Call &call, Side &s) {
    if (call.status == Status::fatal) return -1;
    if (s.ended || s.done >= s.limit || s.width_left <= 0) {
        call.status = Status::source_end;
        return -1;
    }
    if (s.file) {
        unsigned char c = 0;
        int error = 0;
        if (!peek_byte(call.file, &c, &error)) {
            if (error != 0) fail_io(call, error);
            else call.status = Status::source_end;
            s.ended = true;
            return -1;
        }
        if (s.is_text() && !s.member(c)) {
            skip_byte(call.file);
            ++s.done;
            s.ended = true;
            if (c == '\n' || c == '\r') s.line_end = c;
            call.status = Status::source_end;
            return -1;
        }
        return c;
    }
    if (s.done >= s.known) {
        if (call.checks != nullptr) call.checks->read_beyond(s.param, s.is_text());
        call.status = Status::fatal;
        return -1;
    }
    const unsigned char c = s.data[s.done];
    if (s.is_text() && !s.member(c)) {
        call.status = Status::source_end;
        return -1;
    }
    return c;
}

// Takes the byte peek gave.
void advance(Call &call, Side &s) {
    if (s.file) skip_byte(call.file);
    ++s.done;
    if (s.is_text()) --s.width_left;
}

bool stage_byte(Call &call, unsigned char c) {
    FileOutput &out = *call.out;
    if (out.used == sizeof out.stage && !flush_output(call)) return false;
    out.stage[out.used++] = c;
    return true;
}

// Puts one byte; false when the target is full (status target_full) or a
// fault stopped the call (status fatal).
bool put(Call &call, Side &t, unsigned char c) {
    if (t.width_left <= 0 || t.done >= t.limit) {
        call.status = Status::target_full;
        return false;
    }
    if (t.file) {
        if (!stage_byte(call, c)) return false;
    } else if (!t.discard) {
        if (t.done >= t.known) {
            if (call.checks != nullptr) call.checks->write_beyond(t.param, t.is_text());
            call.status = Status::fatal;
            return false;
        }
        t.data[t.done] = c;
    }
    ++t.done;
    if (t.is_text()) --t.width_left;
    return true;
}

// Puts a run of bytes; false when not all went.
bool put_run(Call &call, Side &t, const char *p, std::size_t n) {
    const bool fits = t.width_left >= static_cast<std::int64_t>(n) && t.limit - t.done >= n;
    if (fits && t.file) {
        FileOutput &out = *call.out;
        for (std::size_t left = n; left > 0;) {
            if (out.used == sizeof out.stage && !flush_output(call)) return false;
            const std::size_t chunk = left < sizeof out.stage - out.used ? left : sizeof out.stage - out.used;
            std::memcpy(out.stage + out.used, p, chunk);
            out.used += chunk;
            p += chunk;
            left -= chunk;
        }
    } else if (fits && !t.discard && t.known - t.done >= n) {
        std::memcpy(t.data + t.done, p, n);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            if (!put(call, t, static_cast<unsigned char>(p[i]))) return false;
        return true;
    }
    t.done += n;
    if (t.is_text()) t.width_left -= static_cast<std::int64_t>(n);
    return true;
}


// ---- binary units ----------------------------------------------------------

bool read_unit_bytes(Call &call, Side &s, unsigned char *bytes) {
    if (!s.file && s.limit - s.done >= s.size && s.known - s.done >= s.size && s.limit >= s.done &&
        s.known >= s.done) {
        std::memcpy(bytes, s.data + s.done, s.size);
        s.done += s.size;
        return true;
    }
    for (std::uint32_t k = 0; k < s.size; ++k) {
        const int c = peek(call, s);
        if (c < 0) return false;
        advance(call, s);
        bytes[k] = static_cast<unsigned char>(c);
    }
    return true;
}

bool read_integer(Call &call, Side &s, std::uint64_t *value) {
    unsigned char bytes[8];
    if (!read_unit_bytes(call, s, bytes)) return false;
    std::uint64_t v = 0;
    if (!s.conversion->has_order) {
        std::memcpy(&v, bytes, s.size);  // little-endian: the bytes in their places
    } else {
        for (std::uint32_t k = 0; k < s.size; ++k) v |= std::uint64_t{bytes[k]} << (8 * s.read_order[k]);
    }
    if (s.size < 8 && s.radix == 10 && s.conversion->is_signed && ((v >> (8 * s.size - 1)) & 1u) != 0)
        v |= ~std::uint64_t{0} << (8 * s.size);
    *value = v;
    return true;
}

bool read_real(Call &call, Side &s, double *value) {
    unsigned char bytes[8];
    if (!read_unit_bytes(call, s, bytes)) return false;
    if (s.size == 4) {
        float f;
        std::memcpy(&f, bytes, 4);
        *value = f;
    } else {
        std::memcpy(value, bytes, 8);
    }
    return true;
}

bool put_run(Call &call, Side &t, const char *p, std::size_t n);

bool write_integer(Call &call, Side &t, std::uint64_t v) {
    const Specifier &s = *t.conversion;
    if (!s.has_order) {  // the engine's byte order is little-endian: the value's own bytes
        unsigned char bytes[8];
        std::memcpy(bytes, &v, 8);
        return put_run(call, t, reinterpret_cast<const char *>(bytes), t.size);
    }
    for (std::uint32_t k = 0; k < t.size; ++k) {
        const unsigned byte = s.has_order && s.order[k] != 255 ? s.order[k] : k;
        if (!put(call, t, static_cast<unsigned char>(v >> (8 * byte)))) return false;
    }
    return true;
}

bool write_real(Call &call, Side &t, double d) {
    unsigned char bytes[8];
    if (t.size == 4) {
        const float f = static_cast<float>(d);
        std::memcpy(bytes, &f, 4);
    } else {
        std::memcpy(bytes, &d, 8);
    }
    return put_run(call, t, reinterpret_cast<const char *>(bytes), t.size);
}

// NaN gives 0; everything else is clamped to the 64-bit range of the
// target's kind. A negative value takes the signed path whatever the
// target's sign.
std::uint64_t real_to_integer(double d, bool round, bool target_signed) {
    if (std::isnan(d)) return 0;
    if (round) d = d >= 0 ? d + 0.5 : d - 0.5;
    d = std::trunc(d);
    if (target_signed || d < 0) {
        if (d <= -9223372036854775808.0) return std::uint64_t{1} << 63;
        if (d >= 9223372036854775808.0) return INT64_MAX;
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
    }
    if (d >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(d);
}

// ---- text renderings -----------------------------------------------------

// Digits of `v` in `radix` (8, 10, 16), lower case, at the end of `end`;
// zero is one digit.
char *unsigned_digits(std::uint64_t v, unsigned radix, char *end) {
    char *p = clib::integer_digits(v, radix, false, end);
    if (p == end) *--p = '0';
    return p;
}

// Writes a rendered field: padded on the left to the width; a text longer
// than the width is cut to width - 1 characters and a star, at the start
// (numbers: the star first, then the last digits) or at the end (reals).
bool put_field(Call &call, Side &t, const char *text, std::size_t n, std::int64_t width, char pad, bool star_first) {
    if (width != kNoWidth && static_cast<std::uint64_t>(width) < n) {
        const std::size_t keep = static_cast<std::size_t>(width) - (width > 0 ? 1 : 0);
        if (width == 0) return true;
        if (star_first) return put(call, t, '*') && put_run(call, t, text + (n - keep), keep);
        return put_run(call, t, text, keep) && put(call, t, '*');
    }
    if (width != kNoWidth)
        for (std::size_t i = n; i < static_cast<std::uint64_t>(width); ++i)
            if (!put(call, t, static_cast<unsigned char>(pad))) return false;
    return put_run(call, t, text, n);
}

bool integer_to_text(Call &call, const Side &s, Side &t, std::uint64_t v) {
    char buffer[24];
    char *end = buffer + sizeof buffer;
    char *p = end;
    const bool wide = s.size > 4;
    if (s.radix == 256) {
        *--p = static_cast<char>(v & 0xFF);  // 0 writes one NUL byte
    } else if (s.radix == 10 && s.conversion->is_signed) {
        const std::int64_t x = wide ? static_cast<std::int64_t>(v) : static_cast<std::int32_t>(v);
        p = unsigned_digits(x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x), 10, end);
        if (x < 0) *--p = '-';
    } else {
        p = unsigned_digits(wide ? v : static_cast<std::uint32_t>(v), s.radix, end);
    }
    return put_field(call, t, p, static_cast<std::size_t>(end - p), s.width, s.conversion->pad, true);
}

// Renders a real as the item asks: fixed or scientific notation, the given
// precision or six digits with trailing zeros removed, and an exponent of
// at least `exponent_digits` digits. Always '.' as decimal point.
std::size_t render_real(double v, const Side &s, char *out) {
    std::size_t n = 0;
    if (std::isinf(v)) {
        std::memcpy(out, v < 0 ? "-Inf" : "+Inf", 4);
        return 4;
    }
    if (std::isnan(v)) {
        std::memcpy(out, "NaN", 3);
        return 3;
    }
    const double magnitude = std::fabs(v);
    const bool given = s.precision >= 0;
    bool scientific = s.conversion->scientific || magnitude > 1e40;
    if (!scientific && s.width == kNoWidth && !given && v != 0 && (magnitude > 1e20 || magnitude < 0.0001))
        scientific = true;
    const int precision = given ? s.precision : 6;
    char digits[kMaxTextWidth];
    clib::DecimalDigits d{};
    if (scientific) {
        d = clib::double_to_decimal(v, clib::DigitMode::significant, precision + 1, digits, sizeof digits);
    } else {
        d = clib::double_to_decimal(v, clib::DigitMode::after_point, precision, digits, sizeof digits);
    }
    if (d.negative) out[n++] = '-';
    std::size_t mantissa_point = 0;
    int exponent = 0;
    if (scientific) {
        out[n++] = digits[0];
        mantissa_point = n;
        if (precision > 0) {
            out[n++] = '.';
            std::memcpy(out + n, digits + 1, static_cast<std::size_t>(precision));
            n += static_cast<std::size_t>(precision);
        }
        exponent = digits[0] == '0' ? 0 : d.exponent - 1;
    } else {
        const int integer_digits = d.exponent > 0 ? d.exponent : 0;
        if (integer_digits == 0) out[n++] = '0';
        std::memcpy(out + n, digits, static_cast<std::size_t>(integer_digits));
        n += static_cast<std::size_t>(integer_digits);
        mantissa_point = n;
        if (precision > 0) {
            out[n++] = '.';
            for (int i = 0; i < precision; ++i) {
                const int at = d.exponent + i;  // index of the digit of 10^-(i+1)
                out[n++] = at < 0 ? '0' : digits[at];
            }
        }
    }
    if (!given && n > mantissa_point + 2) {
        while (n > mantissa_point + 2 && out[n - 1] == '0') --n;
    }
    if (scientific) {
        out[n++] = 'e';
        out[n++] = exponent < 0 ? '-' : '+';
        char buffer[16];
        char *end = buffer + sizeof buffer;
        char *p = unsigned_digits(static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent), 10, end);
        for (int i = static_cast<int>(end - p); i < s.exponent_digits; ++i) out[n++] = '0';
        std::memcpy(out + n, p, static_cast<std::size_t>(end - p));
        n += static_cast<std::size_t>(end - p);
    }
    return n;
}

bool real_to_text(Call &call, const Side &s, Side &t, double v) {
    char text[kMaxTextWidth + 64];
    const std::size_t n = render_real(v, s, text);
    return put_field(call, t, text, n, s.width, ' ', false);
}

// ---- text parsing ----------------------------------------------------------

// Where the text parsers read: a side through the streams, or, for memory
// with no sizes to check, the bytes in place. Both end at the side's end or
// a terminator with status source_end, as the streams do.
class StreamCursor {
public:
    StreamCursor(Call &call, Side &s) : call_(call), s_(s) {}
    int peek() { return fmtio::peek(call_, s_); }
    void advance() { fmtio::advance(call_, s_); }
    void finish() {}

private:
    Call &call_;
    Side &s_;
};

class MemoryCursor {
public:
    MemoryCursor(Call &call, Side &s) : call_(call), s_(s), p_(s.data + s.done) {
        avail_ = s.limit - s.done;
        if (static_cast<std::uint64_t>(s.width_left) < avail_) avail_ = static_cast<std::uint64_t>(s.width_left);
    }
    int peek() {
        if (i_ < avail_ && s_.member(p_[i_])) return p_[i_];
        if (call_.status == Status::ok) call_.status = Status::source_end;
        return -1;
    }
    void advance() { ++i_; }
    // Gives the side what was taken; may be called again.
    void finish() {
        s_.done += i_;
        s_.width_left -= static_cast<std::int64_t>(i_);
        p_ += i_;
        avail_ -= i_;
        i_ = 0;
    }

private:
    Call &call_;
    Side &s_;
    const unsigned char *p_;
    std::uint64_t avail_;
    std::uint64_t i_ = 0;
};

template <class Cursor>
int skip_spaces(Cursor &in) {
    int c;
    while ((c = in.peek()) >= 0 && is_space(c)) in.advance();
    return c;
}

int digit_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Ends a number: the byte that stopped it stays for the next item, or is
// taken with the x flag.
template <class Cursor>
void end_number(Call &call, Cursor &in, const Side &t, bool stopped_by_byte) {
    if (stopped_by_byte && t.conversion->consume && call.status == Status::ok) in.advance();
}

template <class Cursor>
int text_to_integer(Call &call, Cursor &in, Side &t, bool *nothing) {
    if (t.radix == 256) {
        const int c = in.peek();
        if (c < 0) {
            *nothing = true;
            return 0;
        }
        in.advance();
        for (std::int64_t extra = t.width == kNoWidth ? 0 : t.width - 1; extra > 0; --extra) {
            if (in.peek() < 0) break;
            in.advance();
        }
        in.finish();
        return write_integer(call, t, static_cast<unsigned char>(c)) ? 1 : 0;
    }
    int c = skip_spaces(in);
    if (c < 0) {
        *nothing = true;
        return 0;
    }
    std::int64_t read = 0;
    const std::int64_t width = t.width;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        in.advance();
        ++read;
    }
    std::uint64_t v = 0;
    bool any = false;
    bool stopped_by_byte = false;
    while (read < width) {
        c = in.peek();
        if (c < 0) break;
        const int d = digit_value(c);
        if (d >= static_cast<int>(t.radix)) {
            stopped_by_byte = true;
            break;
        }
        v = v * t.radix + static_cast<unsigned>(d);
        any = true;
        in.advance();
        ++read;
    }
    if (!any) {
        *nothing = true;
        return 0;
    }
    end_number(call, in, t, stopped_by_byte);
    in.finish();
    if (negative) v = 0 - v;
    return write_integer(call, t, v) ? 1 : 0;
}

// Collected characters of a number: on the stack, on the heap beyond.
class NumberText {
public:
    NumberText() { local_[0] = '\0'; }
    NumberText(const NumberText &) = delete;
    NumberText &operator=(const NumberText &) = delete;
    ~NumberText() {
        if (data_ != local_) std::free(data_);
    }
    bool add(char c) {
        if (size_ + 1 == capacity_) {
            const std::size_t grown = capacity_ * 2;
            char *p = static_cast<char *>(data_ == local_ ? std::malloc(grown) : std::realloc(data_, grown));
            if (p == nullptr) return false;
            if (data_ == local_) std::memcpy(p, local_, size_);
            data_ = p;
            capacity_ = grown;
        }
        data_[size_++] = c;
        data_[size_] = '\0';
        return true;
    }
    const char *c_str() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char local_[512];
    char *data_ = local_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof local_;
};

template <class Cursor>
int text_to_real(Call &call, Cursor &in, Side &t, bool *nothing) {
    if (skip_spaces(in) < 0) {
        *nothing = true;
        return 0;
    }
    NumberText text;
    std::int64_t read = 0;
    bool stopped_by_byte = false;  // the last attempt met a byte it does not take
    auto take = [&](auto accept) {
        stopped_by_byte = false;
        if (read >= t.width) return false;
        const int c = in.peek();
        if (c < 0) return false;
        if (!accept(c)) {
            stopped_by_byte = true;
            return false;
        }
        in.advance();
        ++read;
        if (!text.add(static_cast<char>(c))) call.status = Status::fatal;
        return call.status == Status::ok;
    };
    auto sign = [](int c) { return c == '+' || c == '-'; };
    auto digit = [](int c) { return c >= '0' && c <= '9'; };
    bool any = false;
    take(sign);
    while (take(digit)) any = true;
    if (take([](int c) { return c == '.'; }))
        while (take(digit)) any = true;
    if (any && take([](int c) { return c == 'e' || c == 'E'; })) {
        take(sign);
        while (take(digit)) {
        }
    }
    if (call.status == Status::fatal) return 0;
    if (!any) {
        *nothing = true;
        return 0;
    }
    end_number(call, in, t, stopped_by_byte);
    in.finish();
    const clib::ParsedDouble parsed = clib::parse_double(text.c_str(), '.');
    if (parsed.end != text.c_str() + text.size()) {
        *nothing = true;
        return 0;
    }
    return write_real(call, t, parsed.value) ? 1 : 0;
}

// Runs a text parser over `s`: in place for memory that needs no checks.
template <class Parse>
int parse_text(Call &call, Side &s, Parse parse) {
    if (!s.file && s.known == kUnlimited) {
        MemoryCursor in(call, s);
        const int r = parse(in);
        in.finish();
        return r;
    }
    StreamCursor in(call, s);
    return parse(in);
}

int skip_spaces(Call &call, Side &s) {
    StreamCursor in(call, s);
    return skip_spaces(in);
}

bool is_blank(int c) { return c == ' ' || c == '\t'; }

bool takes_everything(const Side &t) { return (t.members[0] & t.members[1] & t.members[2] & t.members[3]) == ~0ull; }
bool stops_at_nul_only(const Side &s) {
    return s.members[0] == ~1ull && (s.members[1] & s.members[2] & s.members[3]) == ~0ull;
}

int string_copy(Call &call, Side &s, Side &t, bool *nothing) {
    const bool scanning = call.direction == Direction::scanning;
    int c = 0;
    if (scanning && !t.conversion->keep_blanks)
        while ((c = peek(call, s)) >= 0 && is_blank(c)) advance(call, s);
    bool leading = scanning && t.conversion->keep_blanks;
    bool any = false;
    // Memory to memory with no sizes to check: the run of bytes that both
    // sides take, at once; the byte loop below decides how the run ends.
    if (!s.file && !t.file && !t.discard && !leading && s.known == kUnlimited && t.known == kUnlimited &&
        call.status == Status::ok) {
        const unsigned char *p = s.data + s.done;
        std::uint64_t most = s.limit - s.done;
        if (static_cast<std::uint64_t>(s.width_left) < most) most = static_cast<std::uint64_t>(s.width_left);
        if (t.limit - t.done < most) most = t.limit - t.done;
        if (static_cast<std::uint64_t>(t.width_left) < most) most = static_cast<std::uint64_t>(t.width_left);
        std::uint64_t n = 0;
        if (stops_at_nul_only(s) && takes_everything(t)) {
            const void *nul = std::memchr(p, '\0', most);
            n = nul != nullptr ? static_cast<std::uint64_t>(static_cast<const unsigned char *>(nul) - p) : most;
        } else {
            while (n < most && s.member(p[n]) && t.member(p[n])) ++n;
        }
        std::memcpy(t.data + t.done, p, n);
        s.done += n;
        s.width_left -= static_cast<std::int64_t>(n);
        t.done += n;
        t.width_left -= static_cast<std::int64_t>(n);
        any = n > 0;
    }
    while (t.width_left > 0 && call.status == Status::ok) {
        c = peek(call, s);
        if (c < 0) break;
        const auto byte = static_cast<unsigned char>(c);
        if (!t.member(byte) && !(leading && is_blank(c))) {
            if (t.conversion->consume) advance(call, s);
            break;
        }
        if (!is_blank(c)) leading = false;
        advance(call, s);
        any = true;
        if (t.done < t.limit) {
            if (!put(call, t, byte)) return 0;
        } else if (!scanning) {
            call.status = Status::target_full;  // the rest is dropped
        }
    }
    if (call.status == Status::fatal) return 0;
    if (scanning && !any) {
        *nothing = true;
        return 0;
    }
    return 1;
}

}  // namespace

// ---- binding ---------------------------------------------------------------

bool bind_side(Call &call, const Specifier *conversion, Role role, bool fixed, Side &side) {
    const Specifier &s = conversion != nullptr ? *conversion : default_string();
    side.conversion = &s;
    side.role = role;
    side.kind = s.as_string ? SpecKind::string : s.kind;
    side.file = false;
    side.discard = s.discard;
    side.data = nullptr;
    side.done = 0;
    side.known = kUnlimited;
    side.precision = -1;
    side.param = 0;
    side.line_end = 0;
    side.ended = false;
    const bool text = side.is_text();
    const bool formatting = call.direction == Direction::formatting;

    std::uint64_t rep = 1, start = 0, width = 0, radix = 10, exponent = 3;
    int from = 0;
    if (!field_value(call, s.rep, 1, &rep, &from)) return false;
    if (!field_value(call, s.start, 0, &start, &from)) return false;
    if (!field_value(call, s.width, 0, &width, &from)) return false;
    if (width > kMaxTextWidth && role == Role::source && !text) return illegal(call, from != 0 ? 256 : 257, from);
    side.width = width == 0 ? kNoWidth : static_cast<std::int64_t>(width);
    side.width_left = text ? side.width : kNoWidth;
    if (!field_value(call, s.radix, 10, &radix, &from)) return false;
    side.radix = 10;
    if (s.kind == SpecKind::integer) {
        if (radix != 8 && radix != 10 && radix != 16 && radix != 256) return illegal(call, from != 0 ? 256 : 257, from);
        side.radix = static_cast<unsigned>(radix);
    } else if (s.kind == SpecKind::real && s.radix.source != Field::absent) {
        side.precision = static_cast<int>(radix > 200 ? 200 : radix);
    }
    if (!field_value(call, s.exponent, 3, &exponent, &from)) return false;
    side.exponent_digits = static_cast<int>(exponent > 10 ? 10 : exponent);

    side.size = text && !s.as_string ? 1 : s.size;
    const bool by_value = formatting && role == Role::source && !s.has_repeat() && !text;
    if (by_value && s.kind == SpecKind::real) side.size = 8;  // the promoted float
    if (text && !s.as_string) {
        side.units = 1;
        side.limit = width == 0 ? kUnlimited : width + 1;
    } else {
        side.units = rep == 0 ? kUnlimited : rep;
        side.limit = saturating_product(side.size, side.units);
    }
    if (s.has_order)  // without a map, units are read as they are
        for (unsigned p = 0; p < s.size; ++p) side.read_order[s.order[p] == 255 ? p : s.order[p]] = static_cast<unsigned char>(p);

    // Terminators of text sides.
    if (text) set_all(side.members);
    if (text && role == Role::source) {
        if (s.terminators_given) std::memcpy(side.members, s.members, sizeof side.members);
        if (!(fixed && call.file != nullptr) || !s.terminators_given) clear(side.members, '\0');
        if (s.line_form != Specifier::not_line) {
            clear(side.members, '\n');
            clear(side.members, '\r');
        }
    } else if (text && !formatting) {
        if (s.terminators_given) {
            std::memcpy(side.members, s.members, sizeof side.members);
        } else if (call.comma_line) {
            clear(side.members, ',');
        } else {
            for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r', '\0'}) clear(side.members, c);
        }
    }

    // The data.
    const bool file = fixed && call.file != nullptr;
    if (s.append && (role == Role::source || file)) return illegal(call, 257, 0);
    if (file) {
        side.file = true;
    } else if (!s.discard) {
        const Param &p = fixed ? call.fixed : call.params[s.data_slot];
        side.param = p.number;
        if (p.pointer == nullptr) return illegal(call, 255, p.number);
        if (by_value && start > 0) return illegal(call, 257, 0);
        side.data = static_cast<unsigned char *>(p.pointer);
        side.known = p.known;
    }
    side.start = start;
    return true;
}

bool attach_side(Call &call, Side &side) {
    const Specifier &s = *side.conversion;
    if (side.file) {
        if (side.start > 0) {
            if (call.direction == Direction::formatting && !flush_output(call)) return false;
            std::int64_t at = 0;
            if (const int error = seek_file(call.file, static_cast<std::int64_t>(side.start), 1, &at); error != 0) {
                fail_io(call, error);
                return false;
            }
        }
        return true;
    }
    if (side.data == nullptr) return true;
    const std::uint64_t offset = side.is_text() ? side.start : saturating_product(side.start, s.size);
    side.data += offset;
    if (side.known != kUnlimited) side.known = side.known > offset ? side.known - offset : 0;
    if (s.append) {
        std::uint64_t length = 0;
        while (length < side.known && side.data[length] != '\0') ++length;
        side.data += length;
        if (side.known != kUnlimited) side.known -= length;
    }
    return true;
}

bool conversion_is_bounded(const Call &, const Side &source, const Side &target) {
    auto unlimited_binary = [](const Side &s) {
        return !s.is_text() && s.units == kUnlimited && !(s.file && s.role == Role::source);
    };
    const bool source_open = unlimited_binary(source);
    const bool target_open = unlimited_binary(target);
    if (!source_open && !target_open) return true;
    if (source_open && target_open) return false;
    const Side &other = source_open ? target : source;
    // A text source ends by itself; a text target never bounds the count.
    return !other.is_text() || other.role == Role::source;
}

int convert_unit(Call &call, Side &source, Side &target, bool *found_nothing) {
    *found_nothing = false;
    int result = 0;
    if (source.is_text()) {
        switch (target.kind) {
        case SpecKind::string: result = string_copy(call, source, target, found_nothing); break;
        case SpecKind::integer:
            result = parse_text(call, source, [&](auto &in) { return text_to_integer(call, in, target, found_nothing); });
            break;
        case SpecKind::real:
            result = parse_text(call, source, [&](auto &in) { return text_to_real(call, in, target, found_nothing); });
            break;
        }
    } else if (source.kind == SpecKind::integer) {
        std::uint64_t v = 0;
        if (!read_integer(call, source, &v)) {
            *found_nothing = call.status != Status::fatal;
            return 0;
        }
        switch (target.kind) {
        case SpecKind::integer: result = write_integer(call, target, v); break;
        case SpecKind::real:
            result = write_real(call, target,
                                source.conversion->is_signed ? static_cast<double>(static_cast<std::int64_t>(v))
                                                       : static_cast<double>(v));
            break;
        case SpecKind::string: result = integer_to_text(call, source, target, v); break;
        }
    } else {
        double d = 0;
        if (!read_real(call, source, &d)) {
            *found_nothing = call.status != Status::fatal;
            return 0;
        }
        switch (target.kind) {
        case SpecKind::integer:
            result = write_integer(call, target, real_to_integer(d, source.conversion->round, target.conversion->is_signed));
            break;
        case SpecKind::real: result = write_real(call, target, d); break;
        case SpecKind::string: result = real_to_text(call, source, target, d); break;
        }
    }
    if (call.status == Status::fatal) return 0;
    if (call.direction == Direction::formatting && call.status == Status::target_full) result = 1;
    if (result == 0 || !target.is_text()) return result;
    const Side &item = call.direction == Direction::formatting ? source : target;
    if (item.conversion->join > 0) put_run(call, target, item.conversion->join_text, item.conversion->join);
    if (call.direction == Direction::scanning && target.width != kNoWidth && !target.discard)
        while (target.width_left > 0 && target.done < target.limit)
            if (!put(call, target, static_cast<unsigned char>(target.conversion->pad))) break;
    return call.status == Status::fatal ? 0 : 1;
}

void put_literal(Call &call, Side &target, const char *text, std::size_t length) {
    put_run(call, target, text, length);
}

void match_literal(Call &call, Side &source, const char *text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const auto want = static_cast<unsigned char>(text[i]);
        const int c = skip_spaces(call, source);
        if (is_space(want)) continue;
        if (c != want) {
            if (call.status == Status::ok) call.status = Status::source_end;
            return;
        }
        advance(call, source);
    }
}

void put_terminator(Call &call, Side &t) {
    if (t.file || t.discard || t.done >= t.limit) return;
    if (t.done >= t.known) {
        if (call.checks != nullptr) call.checks->write_beyond(t.param, true);
        call.status = Status::fatal;
        return;
    }
    t.data[t.done] = '\0';
}

void pad_target(Call &call, Side &t) {
    if (t.width == kNoWidth) return;
    const Status before = call.status;
    while (t.width_left > 0 && t.done < t.limit)
        if (!put(call, t, static_cast<unsigned char>(t.conversion->pad))) break;
    if (call.status != Status::fatal) call.status = before;
}

void drop_line_rest(Call &call, Side &s) {
    if (s.conversion->line_form == Specifier::not_line || call.status == Status::fatal) return;
    if (s.file) {
        int ended = s.line_end;
        unsigned char c = 0;
        int error = 0;
        while (ended == 0 && peek_byte(call.file, &c, &error)) {
            skip_byte(call.file);
            ++s.done;
            if (c == '\n' || c == '\r') ended = c;
        }
        if (error != 0) {
            fail_io(call, error);
            return;
        }
        if (ended == '\r' && peek_byte(call.file, &c, &error) && c == '\n') {
            skip_byte(call.file);
            ++s.done;
        }
        return;
    }
    // Memory: count the rest of the line as consumed, its end included.
    auto at = [&](std::uint64_t i) -> int {
        if (i >= s.limit || i >= s.known) return -1;
        return s.data[i];
    };
    int c;
    while ((c = at(s.done)) > 0 && c != '\n' && c != '\r') ++s.done;
    if (c == '\n' || c == '\r') {
        ++s.done;
        if (c == '\r' && at(s.done) == '\n') ++s.done;
    }
}

bool flush_output(Call &call) {
    FileOutput &out = *call.out;
    if (out.used == 0) return true;
    std::uint32_t done = 0;
    const int error = write_file(out.entry, out.stage, static_cast<std::uint32_t>(out.used), &done);
    out.used = 0;
    if (error != 0) {
        fail_io(call, error);
        return false;
    }
    return true;
}

}  // namespace kez::fmtio
