// The fuzz checks of Fmt and Scan: the parameter-type pass on arbitrary
// bytes, and whole calls with an arbitrary format whose every parameter is
// a buffer of its own on the heap, so that the address sanitizer sees a
// byte read or written past one.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fmtio/format_parser.h"
#include "fuzz/fuzz_checks.h"
#include "kez/formatio.h"

namespace kez::fuzz {
namespace {

using fmtio::ArgType;
using fmtio::ArgTypes;
using fmtio::Direction;
using fmtio::Field;
using fmtio::Item;
using fmtio::kMaxSlots;
using fmtio::kNoSlot;
using fmtio::SpecKind;
using fmtio::Specifier;
using fmtio::Tokeniser;

const char *name(Direction d) { return d == Direction::formatting ? "formatting" : "scanning"; }

// The slots one specifier claims, with what each stands for.
struct Claim {
    int slot;
    bool asterisk;
    const Field *field;  // asterisk: the field it gives
};

std::vector<Claim> claims_of(const Specifier &s) {
    std::vector<Claim> claims;
    for (const Field *f : {&s.rep, &s.start, &s.width, &s.radix, &s.exponent})
        if (f->source == Field::asterisk) claims.push_back({f->slot, true, f});
    if (s.data_slot != kNoSlot) claims.push_back({s.data_slot, false, nullptr});
    return claims;
}

// The type pass over `format` and a walk of the tokeniser over the same
// bytes agree: the same outcome, every slot claimed once, and each slot's
// type what its specifier says.
std::string check_types(const char *format, std::size_t length, Direction direction) {
    // Nothing the pass leaves unwritten may look right.
    ArgTypes types;
    types.count = -7;
    types.fixed_explicit = true;
    for (ArgType &a : types.slots) a = ArgType{static_cast<SpecKind>(0x5A), true, true, 0xA5A5A5A5A5A5A5A5u};
    const fmtio::ParseResult r = fmtio::generate_arg_types(format, length, &types, direction);
    const std::string where = std::string(name(direction)) + " \"" + shown(format, length) + "\": ";
    if (!r.ok) {
        if (r.error_code < fmtio::kErrSeparator || r.error_code > fmtio::kErrUnknownSpecifier)
            return where + "error code " + std::to_string(r.error_code);
        if (r.error_index > length) return where + "error index " + std::to_string(r.error_index) + " past the end";
    } else if (r.slots < 0 || r.slots > kMaxSlots || types.count != r.slots) {
        return where + std::to_string(r.slots) + " slots, the table says " + std::to_string(types.count);
    }

    Tokeniser t(format, length, direction);
    bool seen[kMaxSlots] = {};
    bool first = true;
    for (;; first = false) {
        const Item &item = t.next();
        if (item.kind == Item::end) break;
        if (item.kind == Item::error) {
            if (r.ok || item.error_code != r.error_code || item.error_index != r.error_index)
                return where + "the walk fails with " + std::to_string(item.error_code) + " at " +
                       std::to_string(item.error_index) + ", the type pass " +
                       (r.ok ? std::string("passes") : std::to_string(r.error_code) + " at " + std::to_string(r.error_index));
            return {};
        }
        if (item.kind == Item::literal) {
            if (item.text < format || item.text + item.length > format + length)
                return where + "a literal outside the format";
            continue;
        }
        const Specifier &s = item.conversion;
        if (s.fixed && !first) return where + "a fixed side that is not the first item";
        if (s.fixed && r.ok && !types.fixed_explicit) return where + "a fixed side the table does not know";
        if (s.join > 0 && (s.join_text < format || s.join_text + s.join > format + length))
            return where + "a join text outside the format";
        if (!r.ok) continue;
        for (const Claim &c : claims_of(s)) {
            if (c.slot < 0 || c.slot >= r.slots) return where + "slot " + std::to_string(c.slot) + " out of range";
            if (seen[c.slot]) return where + "slot " + std::to_string(c.slot) + " claimed twice";
            seen[c.slot] = true;
            const ArgType &a = types.slots[c.slot];
            if (a.is_asterisk != c.asterisk) return where + "slot " + std::to_string(c.slot) + ": asterisk or not";
            if (c.asterisk) {
                if (a.kind != SpecKind::integer || a.is_array || a.size != 4)
                    return where + "slot " + std::to_string(c.slot) + ": an asterisk not an int";
                continue;
            }
            const SpecKind kind = s.as_string ? SpecKind::string : s.kind;
            if (a.kind != kind || a.is_array != s.has_repeat() || a.size != s.size)
                return where + "slot " + std::to_string(c.slot) + ": a type its specifier does not say";
        }
        if (s.fixed && s.data_slot != 0) return where + "the fixed side's data slot is not slot 0";
    }
    if (!r.ok) return where + "the type pass fails, the walk ends";
    // A modifier given twice keeps its last value: an asterisk before it
    // still has its parameter, which nothing reads. Every other slot is
    // some field's or some specifier's.
    for (int slot = 0; slot < r.slots; ++slot)
        if (!seen[slot] && !types.slots[slot].is_asterisk)
            return where + "slot " + std::to_string(slot) + " is no specifier's";
    if (types.fixed_explicit && !seen[0]) return where + "an explicit fixed side without slot 0";
    return {};
}

// ---- whole calls ----------------------------------------------------------------

constexpr std::size_t kMaxFormat = 100;
constexpr std::size_t kMaxText = 40;
// Every pointer parameter's buffer; Fmt's target, which a format can fill
// without bound (a plain string), is larger.
constexpr std::size_t kSlotBytes = 64;
constexpr std::size_t kTargetBytes = 64 * 1024;
// Beyond these the check leaves an input alone: a width or a count that
// makes a write exceed the buffers would be the caller's fault.
constexpr std::uint64_t kMaxRepeat = 4;
constexpr std::uint64_t kMaxWidth = 60;
// By-value reals: the most that travel in registers where integer and
// floating arguments travel apart (below).
constexpr int kMaxReals = 8;

// A field's value as the call will see it: its number, or the value chosen
// for its asterisk (negative: the call is illegal and moves nothing).
struct Values {
    long long slot[kMaxSlots] = {};
    std::int64_t of(const Field &f, std::int64_t absent) const {
        if (f.source == Field::absent) return absent;
        if (f.source == Field::number) return f.value;
        return slot[f.slot];
    }
};

// Asterisk values by what the asterisk gives, picked by the input's bytes:
// small counts, widths, start indexes and precisions, the legal radixes and
// one that is not, and a negative value (illegal everywhere).
long long pick_asterisk(const Specifier &s, const Field *f, unsigned char byte) {
    static const long long kRepeat[] = {1, 2, 3, 4, -1};
    static const long long kStart[] = {0, 1, 2, 7, -3};
    static const long long kWidth[] = {0, 1, 3, 8, 20, 60, -1};
    static const long long kRadix[] = {10, 16, 8, 256, 2, -10};
    static const long long kPrecision[] = {6, 0, 1, 17, 200, -1};
    static const long long kExponent[] = {3, 0, 1, 10, -2};
    auto from = [byte](const auto &table) { return table[byte % (sizeof table / sizeof table[0])]; };
    if (f == &s.rep) return from(kRepeat);
    if (f == &s.start) return from(kStart);
    if (f == &s.width) return from(kWidth);
    if (f == &s.radix) return s.kind == SpecKind::real ? from(kPrecision) : from(kRadix);
    return from(kExponent);
}

// The most text one unit of `s` renders into a text target (numbers are
// at most 24 characters, reals at most 45 + precision + an exponent).
std::uint64_t unit_text(const Specifier &s, const Values &v) {
    const std::int64_t width = v.of(s.width, 0);
    if (width > 0) return static_cast<std::uint64_t>(width);
    if (s.as_string || s.kind == SpecKind::string) return kSlotBytes;
    if (s.kind == SpecKind::integer) return 24;
    const std::int64_t precision = v.of(s.radix, 6);
    return 45 + static_cast<std::uint64_t>(precision < 0 ? 0 : precision > 200 ? 200 : precision) + 16;
}

std::uint64_t clamp0(std::int64_t x) { return x < 0 ? 0 : static_cast<std::uint64_t>(x); }

// The pointer buffers' contents: a short text and its NUL, then bytes of
// every kind for the binary sources, the last byte a NUL.
struct SlotImage {
    unsigned char bytes[kSlotBytes];
};

SlotImage slot_image(int slot) {
    SlotImage image{};
    const auto held = static_cast<std::size_t>(slot % 8);
    for (std::size_t i = 0; i < held; ++i) image.bytes[i] = static_cast<unsigned char>('a' + slot);
    std::uint32_t x = static_cast<std::uint32_t>(slot) * 2654435761u + 12345u;
    for (std::size_t i = held + 1; i + 1 < kSlotBytes; ++i) {
        x = x * 1103515245u + 12345u;
        image.bytes[i] = static_cast<unsigned char>(x >> 24);
    }
    return image;
}

struct Plan {
    bool ok = false;
    std::string why;  // not ok: why the input is left alone
    Values values;
    int items = 0;  // specifiers but the fixed side's
    ArgTypes types;
    fmtio::ParseResult parsed{};
};

// The arguments of one call and whether every unchecked write and read of
// its format stays inside the buffers.
Plan plan_call(const std::string &format, Direction direction, const std::string &source_text, const SlotImage *images,
               const unsigned char *choices, std::size_t choice_count) {
    Plan p;
    p.parsed = fmtio::generate_arg_types(format.data(), format.size(), &p.types, direction);
    if (!p.parsed.ok) {
        p.ok = true;
        return p;
    }
    const bool formatting = direction == Direction::formatting;
    // First pass: the asterisks' values, slot k's chosen by choice byte k.
    {
        Tokeniser t(format.data(), format.size(), direction);
        for (const Item *item = &t.next(); item->kind != Item::end && item->kind != Item::error; item = &t.next()) {
            if (item->kind != Item::specifier) continue;
            for (const Claim &c : claims_of(item->conversion))
                if (c.asterisk) {
                    const auto k = static_cast<std::size_t>(c.slot);
                    p.values.slot[c.slot] = pick_asterisk(item->conversion, c.field, k < choice_count ? choices[k] : 0);
                }
        }
    }
    // Second pass: the bytes each side can reach.
    Tokeniser t(format.data(), format.size(), direction);
    std::uint64_t fixed_text = 1;  // Fmt's default or text target: its NUL
    // A copy: the tokeniser's item is overwritten by the next one.
    Specifier fixed_conversion;
    const Specifier *fixed = nullptr;
    int reals = 0;
    std::uint64_t fixed_units = 1;
    const auto reject = [&p](const std::string &why) {
        p.ok = false;
        p.why = why;
        return p;
    };
    for (const Item *item = &t.next(); item->kind != Item::end; item = &t.next()) {
        if (item->kind == Item::literal) {
            fixed_text += item->length;
            continue;
        }
        const Specifier &s = item->conversion;
        const Values &v = p.values;
        const std::int64_t rep = v.of(s.rep, 1);
        if (s.has_repeat() && (rep == 0 || clamp0(rep) > kMaxRepeat)) return reject("a count");
        if (clamp0(v.of(s.width, 0)) > kMaxWidth) return reject("a width");
        const bool text = s.kind == SpecKind::string && !s.as_string;
        const std::uint64_t unit = text ? 1 : s.size;
        const std::uint64_t units = clamp0(rep);
        const std::uint64_t start = clamp0(v.of(s.start, 0));
        const std::uint64_t width = clamp0(v.of(s.width, 0));
        if (start > kSlotBytes) return reject("a start index");
        if (s.fixed) {
            fixed_conversion = s;
            fixed = &fixed_conversion;
            fixed_units = units;
            if (formatting) {
                fixed_text += start * unit;
            } else {
                // Scan's source: the text, or binary units in its buffer.
                const std::uint64_t room = source_text.size() + 1 > kSlotBytes ? source_text.size() + 1 : kSlotBytes;
                if (start * unit + (text ? 1 : units * unit) > room) return reject("the source's units");
            }
            continue;
        }
        ++p.items;
        if (s.data_slot == kNoSlot) continue;  // discarded
        const bool by_value = formatting && !s.has_repeat() && s.kind != SpecKind::string && !s.as_string;
        if (by_value) {
            reals += s.kind == SpecKind::real;
            fixed_text += unit_text(s, v) + s.join;
            continue;
        }
        std::uint64_t offset = start * unit;
        if (s.append && text) {
            // After the text found from the start index.
            const unsigned char *held = images[s.data_slot].bytes;
            while (offset < kSlotBytes && held[offset] != 0) ++offset;
        }
        std::uint64_t reach = 0;
        if (formatting) {
            // A source: a text is read up to its NUL (the buffer's last byte
            // is one), units as many as the count.
            reach = text ? 1 : units * unit;
            fixed_text += (text ? unit_text(s, v) : units * unit_text(s, v)) + units * s.join;
        } else if (text || s.as_string) {
            // A text target: its width and NUL, else what the source holds.
            if (s.as_string) {
                reach = units * unit;
            } else if (width > 0) {
                reach = width + 1;
            } else {
                const bool text_source = fixed == nullptr || (fixed->kind == SpecKind::string && !fixed->as_string);
                const std::uint64_t source_units = text_source ? 1 : fixed_units;
                const std::uint64_t per_unit = text_source ? source_text.size() : unit_text(*fixed, v);
                reach = source_units * (per_unit + s.join) + 1;
            }
        } else {
            reach = units * unit;
        }
        if (offset + reach > kSlotBytes) return reject("a parameter's bytes");
    }
    if (formatting && reals > kMaxReals) return reject("by-value reals");
    if (formatting && fixed_text > kTargetBytes) return reject("the target's bytes");
    p.ok = true;
    return p;
}

// A buffer on the heap of exactly `size` bytes.
struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size;
    explicit Buffer(std::size_t n) : bytes(new unsigned char[n]), size(n) { std::memset(bytes.get(), 0, n); }
};

std::uint64_t double_bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

#define KEZ_A10(a, i) a[i], a[i + 1], a[i + 2], a[i + 3], a[i + 4], a[i + 5], a[i + 6], a[i + 7], a[i + 8], a[i + 9]
#define KEZ_A30(a) KEZ_A10(a, 0), KEZ_A10(a, 10), KEZ_A10(a, 20)
#define KEZ_D8(d) d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]

// The variadic arguments in the order of their slots. On Windows x64 every
// argument has an eight-byte slot of its own in the call's order, a
// double's bits included; where integer and floating arguments travel
// apart (the System V x86-64 and AArch64 conventions), the integers in
// order, and up to eight doubles in the vector registers, which the callee
// takes in order too.
struct Arguments {
    std::uint64_t ordered[kMaxSlots] = {};  // integers, pointers and (Windows) doubles' bits
    std::uint64_t integers[kMaxSlots] = {};
    double reals[kMaxReals] = {};
    int count = 0;
    int integer_count = 0;
    int real_count = 0;

    void add_integer(std::uint64_t x) {
        ordered[count++] = x;
        integers[integer_count++] = x;
    }
    void add_real(double d) {
        ordered[count++] = double_bits(d);
        if (real_count < kMaxReals) reals[real_count++] = d;
    }

    int fmt(void *target, const char *format) const {
#if defined(_WIN64)
        return Fmt(target, format, KEZ_A30(ordered));
#else
        return Fmt(target, format, KEZ_D8(reals), KEZ_A30(integers));
#endif
    }
    int scan(const void *source, const char *format) const {
#if defined(_WIN64)
        return Scan(source, format, KEZ_A30(ordered));
#else
        return Scan(source, format, KEZ_A30(integers));
#endif
    }
};

// The arguments arrive as the slots say: by-value integers and reals mixed,
// more of either than travel in registers.
std::string check_argument_passing() {
    Arguments args;
    args.add_integer(916);
    args.add_real(118.714);
    args.add_integer(576001728);
    for (const double d : {1.5, -27.5, 100.0, 0.5, 42.5, -3.0, 7.5}) args.add_real(d);
    for (const int i : {-1, 2, -3, 4, -5}) args.add_integer(static_cast<std::uint64_t>(static_cast<long long>(i)));
    char out[256] = {};
    const int result = args.fmt(out, "%s<%d %f[p3] %d[b8] %f[p1] %f[p1] %f[p1] %f[p1] %f[p1] %f[p1] %f[p1] %d %d %d %d %d");
    const char *expected = "916 118.714 576001728 1.5 -27.5 100.0 0.5 42.5 -3.0 7.5 -1 2 -3 4 -5";
    if (result != 15 || std::strcmp(out, expected) != 0)
        return "the check's arguments arrive otherwise than passed: \"" + std::string(out) + "\", result " +
               std::to_string(result);
    return {};
}

std::string check_call(const std::string &format, Direction direction, const std::string &text,
                       const unsigned char *choices, std::size_t choice_count) {
    SlotImage images[kMaxSlots];
    for (int i = 0; i < kMaxSlots; ++i) images[i] = slot_image(i);
    const Plan p = plan_call(format, direction, text, images, choices, choice_count);
    if (!p.ok) return {};

    const bool formatting = direction == Direction::formatting;
    // The format in a buffer of its own length.
    Buffer format_copy(format.size() + 1);
    std::memcpy(format_copy.bytes.get(), format.c_str(), format.size() + 1);
    const char *f = reinterpret_cast<const char *>(format_copy.bytes.get());

    std::vector<Buffer> buffers;
    buffers.reserve(kMaxSlots);
    Arguments args;
    const int first = p.parsed.ok && p.types.fixed_explicit ? 1 : 0;
    const int count = p.parsed.ok ? p.types.count : 0;
    for (int slot = first; slot < count; ++slot) {
        const ArgType &a = p.types.slots[slot];
        if (a.is_asterisk) {
            args.add_integer(static_cast<std::uint64_t>(p.values.slot[slot]));
        } else if (formatting && !a.is_array && a.kind != SpecKind::string) {
            const long long small = static_cast<long long>(slot * 7919 % 2001) - 1000;
            if (a.kind == SpecKind::real) args.add_real(static_cast<double>(small) / 7.0);
            else args.add_integer(static_cast<std::uint64_t>(a.size == 8 ? small * 1000003 : small));
        } else {
            buffers.emplace_back(kSlotBytes);
            std::memcpy(buffers.back().bytes.get(), images[slot].bytes, kSlotBytes);
            args.add_integer(reinterpret_cast<std::uintptr_t>(buffers.back().bytes.get()));
        }
    }

    int result = 0;
    std::size_t fixed_size = 0;
    Buffer fixed(formatting ? kTargetBytes : (text.size() + 1 > kSlotBytes ? text.size() + 1 : kSlotBytes));
    if (formatting) {
        result = args.fmt(fixed.bytes.get(), f);
        fixed_size = kTargetBytes;
    } else {
        std::memcpy(fixed.bytes.get(), text.c_str(), text.size() + 1);
        result = args.scan(fixed.bytes.get(), f);
        fixed_size = fixed.size;
    }
    const int index = GetFmtErrNdx();
    const int bytes = NumFmtdBytes();

    const std::string where = std::string(formatting ? "Fmt" : "Scan") + " \"" + shown(format.data(), format.size()) +
                              "\"" + (formatting ? "" : " over \"" + shown(text.data(), text.size()) + "\"") + ": ";
    const std::string got = "result " + std::to_string(result) + ", error index " + std::to_string(index);
    if (!p.parsed.ok) {
        if (result != -1 || index != static_cast<int>(p.parsed.error_index))
            return where + got + " for a format error at " + std::to_string(p.parsed.error_index);
        return {};
    }
    if (result < -1) return where + got + " from a call in memory";
    if (result > p.items) return where + got + " with " + std::to_string(p.items) + " specifiers";
    if (result == -1 && (index < 0 || static_cast<std::size_t>(index) > format.size()))
        return where + got + " for an illegal value";
    if (result >= 0 && index != -1) return where + got + ": an error index after a call that ran";
    if (result >= 0 && (bytes < 0 || static_cast<std::size_t>(bytes) > fixed_size))
        return where + got + ", " + std::to_string(bytes) + " bytes";
    if (formatting && result >= 0 && !p.types.fixed_explicit && fixed.bytes[static_cast<std::size_t>(bytes)] != 0)
        return where + got + ": no NUL after the " + std::to_string(bytes) + " bytes formatted";
    if (!formatting && result >= 0 && !p.types.fixed_explicit && static_cast<std::size_t>(bytes) > text.size())
        return where + got + ": " + std::to_string(bytes) + " bytes consumed of " + std::to_string(text.size());
    return {};
}

}  // namespace

std::string check_fmt_arg_types(const std::uint8_t *data, std::size_t size) {
    // An exactly sized copy: a byte read past the format's end is reported.
    std::unique_ptr<char[]> format(new char[size]);
    if (size > 0) std::memcpy(format.get(), data, size);
    for (const Direction d : {Direction::formatting, Direction::scanning}) {
        std::string failure = check_types(format.get(), size, d);
        if (!failure.empty()) return failure;
    }
    return {};
}

std::string check_fmt_calls(const std::uint8_t *data, std::size_t size) {
    static const std::string passing = check_argument_passing();
    if (!passing.empty()) return passing;
    // The format, up to the first NUL; the text Scan reads, up to the next;
    // then the bytes that choose the asterisks' values, byte k for slot k.
    const char *begin = reinterpret_cast<const char *>(data);
    const char *end = begin + size;
    const char *nul = static_cast<const char *>(std::memchr(begin, 0, size));
    const char *format_end = nul != nullptr ? nul : end;
    std::string format(begin, format_end);
    if (format.size() > kMaxFormat) format.resize(kMaxFormat);
    std::string text;
    const unsigned char *choices = nullptr;
    std::size_t choice_count = 0;
    if (format_end < end) {
        const char *text_begin = format_end + 1;
        const char *text_nul = static_cast<const char *>(std::memchr(text_begin, 0, static_cast<std::size_t>(end - text_begin)));
        const char *text_end = text_nul != nullptr ? text_nul : end;
        text.assign(text_begin, text_end);
        if (text_end < end) {
            choices = reinterpret_cast<const unsigned char *>(text_end + 1);
            choice_count = static_cast<std::size_t>(end - text_end - 1);
        }
    }
    if (text.size() > kMaxText) text.resize(kMaxText);
    for (const Direction d : {Direction::formatting, Direction::scanning}) {
        std::string failure = check_call(format, d, text, choices, choice_count);
        if (!failure.empty()) return failure;
    }
    return {};
}

#undef KEZ_A10
#undef KEZ_A30
#undef KEZ_D8

}  // namespace kez::fuzz
