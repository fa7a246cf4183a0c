// The format language of Fmt and Scan: one tokeniser that every pass uses
// (the parameter-type pass and both engines), so the passes cannot
// disagree about where an item ends or which parameter slot it claims.
//
// A format is a sequence of items: literal text, an escaped literal
// (%% %< %> %[ %]), a specifier %[rep]letter[modifiers], and one
// separator (< formatting, > scanning) right after the first item when
// that item describes the fixed side (Fmt's target, Scan's source).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kez::fmtio {

enum class Direction : unsigned char { formatting, scanning };

// Format errors (their numbers are the engine's message numbers).
enum FormatErrorCode : int {
    kErrSeparator = 206,
    kErrMissingInteger = 207,
    kErrTooManyArguments = 208,
    kErrIntegerTooBig = 209,
    kErrRepeatOnString = 210,
    kErrLineInFmt = 211,
    kErrMissingBracket = 212,
    kErrSizeAfterOrder = 213,
    kErrIntegerSize = 214,
    kErrDiscardInFmt = 215,
    kErrByteOrder = 216,
    kErrZWithoutRepeat = 217,
    kErrUnknownModifier = 218,
    kErrUnexpectedEnd = 219,
    kErrCommaWithoutLine = 220,
    kErrWidthOnLine = 221,
    kErrRealSize = 222,
    kErrUnknownSpecifier = 223,
};

constexpr int kMaxSlots = 30;
constexpr int kNoSlot = -1;

enum class SpecKind : unsigned char { integer = 1, real = 2, string = 3 };

// A numeric field of a specifier: absent, written, or from an asterisk slot.
struct Field {
    enum Source : unsigned char { absent, number, asterisk };
    Source source = absent;
    int slot = kNoSlot;          // asterisk: the parameter slot
    std::uint32_t value = 0;     // number
};

struct Specifier {
    SpecKind kind = SpecKind::integer;
    char letter = 'd';
    bool fixed = false;  // describes the fixed side
    int data_slot = kNoSlot;  // kNoSlot: the d modifier, or the fixed side of a file call
    std::size_t position = 0;  // of the '%' in the format

    Field rep;      // number 0: unlimited
    Field start;    // i
    Field width;    // w (0: no width)
    Field radix;    // integers: r; reals: p (precision)
    Field exponent;  // reals: e's digit count
    bool scientific = false;  // reals: e given
    std::uint32_t size = 4;   // bytes of one unit (strings: 1)
    std::uint32_t join = 0;   // j: characters of the format after the item
    const char *join_text = nullptr;

    bool is_signed = true;  // integers
    bool round = false;     // reals: r
    bool discard = false;   // d
    bool consume = false;   // x
    bool as_string = false;  // z
    char pad = ' ';          // integers: p; strings: ' ' or NUL (q)
    unsigned char order[8] = {255, 255, 255, 255, 255, 255, 255, 255};  // o
    bool has_order = false;

    // Strings.
    enum Line : unsigned char { not_line, line, comma_line };
    Line line_form = not_line;
    bool append = false;      // a
    bool terminators_given = false;  // t
    bool keep_blanks = false;  // y
    std::uint64_t members[4] = {~0ull, ~0ull, ~0ull, ~0ull};  // t: a cleared bit is a terminator

    bool has_repeat() const { return rep.source != Field::absent; }
    bool member(unsigned char c) const { return (members[c >> 6] >> (c & 63)) & 1u; }
};

struct Item {
    enum Kind : unsigned char { end, literal, specifier, error };
    Kind kind = end;
    // Literal: text and length (an escaped literal's text starts at the
    // escaped character).
    const char *text = nullptr;
    std::size_t length = 0;
    Specifier conversion;
    // Error: code and position.
    int error_code = 0;
    std::size_t error_index = 0;
};

// The expected parameter of one slot.
struct ArgType {
    SpecKind kind;
    bool is_array;
    bool is_asterisk;
    std::uint64_t size;
};

struct ArgTypes {
    int count = 0;  // slots written in the format
    bool fixed_explicit = false;  // the first item describes the fixed side (its data slot is slot 0)
    ArgType slots[kMaxSlots];
};

// Walks a format's items. Slots are numbered as the parameters follow the
// format: an explicit fixed side's data slot is slot 0 (its parameter
// precedes the format) and every other slot follows in written order.
class Tokeniser {
public:
    Tokeniser(const char *format, std::size_t length, Direction direction);

    // The next item. After an error or the end, every call repeats it.
    const Item &next();
    // The same, written into `out`.
    void next_into(Item &out);
    std::size_t position() const { return static_cast<std::size_t>(at_ - begin_); }
    const char *begin() const { return begin_; }
    const char *end() const { return end_; }
    Direction direction() const { return direction_; }
    // Slots claimed so far.
    int slots() const { return slots_; }
    // Calls back for every slot as it is claimed (the parameter-type pass).
    void set_slot_sink(ArgTypes *types) { types_ = types; }

private:
    bool fail(int code, const char *where);
    bool claim(int *slot, const ArgType &type, const char *where);
    bool read_number(std::uint32_t *value, bool to_end_is_error);
    bool read_field(Field *field, bool star_allowed, int end_code);
    bool read_specifier();
    bool read_modifiers(Specifier &s);
    bool integer_modifier(Specifier &s, char m, const char *at, bool *order_seen);
    bool real_modifier(Specifier &s, char m, const char *at);
    bool string_modifier(Specifier &s, char m, const char *at, bool *terminators_started);
    bool check_order(Specifier &s, const char *after);

    const char *begin_;
    const char *at_;
    const char *end_;
    Direction direction_;
    bool first_ = true;
    bool in_list_ = false;
    int list_end_code_ = 0;
    int slots_ = 0;
    ArgTypes *types_ = nullptr;
    Item *out_ = nullptr;  // where the current item goes
    int error_code_ = 0;   // the error, once one is found
    std::size_t error_index_ = 0;
    std::optional<Item> last_;  // next()'s item
};

struct ParseResult {
    bool ok;
    int slots;       // ok: slots written in the format
    int error_code;  // not ok: the format error, or 0 when the sink had no memory
    std::size_t error_index;
};

// Keeps the items of a parse, each with the position after it, so that a
// call runs the items this pass saw: the parse writes each item into the
// place reserve() gives (null: no memory), and commits it with its end.
class ItemSink {
public:
    virtual Item *reserve() = 0;
    virtual void commit(std::size_t end) = 0;

protected:
    ~ItemSink() = default;
};

// The parameter-type pass: parses the whole format; every item goes to
// `sink` when one is given.
ParseResult generate_arg_types(const char *format, std::size_t length, ArgTypes *types, Direction direction,
                               ItemSink *sink = nullptr);

}  // namespace kez::fmtio
