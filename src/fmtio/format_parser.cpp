#include "fmtio/format_parser.h"

#include <cstring>
#include <initializer_list>

namespace kez::fmtio {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void clear_member(Specifier &s, unsigned char c) { s.members[c >> 6] &= ~(std::uint64_t{1} << (c & 63)); }

}  // namespace

Tokeniser::Tokeniser(const char *format, std::size_t length, Direction direction)
    : begin_(format), at_(format), end_(format + length), direction_(direction) {}

bool Tokeniser::fail(int code, const char *where) {
    error_code_ = code;
    error_index_ = static_cast<std::size_t>(where - begin_);
    out_->kind = Item::error;
    out_->error_code = error_code_;
    out_->error_index = error_index_;
    return false;
}

bool Tokeniser::claim(int *slot, const ArgType &type, const char *where) {
    if (slots_ == kMaxSlots) return fail(kErrTooManyArguments, where);
    *slot = slots_;
    if (types_ != nullptr) types_->slots[slots_] = type;
    ++slots_;
    return true;
}

// An unsigned decimal number of at most 4294967295. Digits running to the
// end of the format: 209 for a repeat count; in a modifier list the end of
// the format is the list's own error, found by the caller.
bool Tokeniser::read_number(std::uint32_t *value, bool to_end_is_error) {
    std::uint64_t v = 0;
    bool too_big = false;
    while (at_ < end_ && is_digit(*at_)) {
        v = v * 10 + static_cast<unsigned>(*at_ - '0');
        if (v > 0xFFFFFFFFu) {
            too_big = true;
            v = 0xFFFFFFFFu;
        }
        ++at_;
    }
    if (at_ == end_) {
        if (to_end_is_error) return fail(kErrIntegerTooBig, at_);
        if (in_list_) return fail(list_end_code_, at_);
    }
    if (too_big) return fail(kErrIntegerTooBig, at_);
    *value = static_cast<std::uint32_t>(v);
    return true;
}

// A modifier's argument: a number, or `*` where allowed (208 elsewhere).
bool Tokeniser::read_field(Field *field, bool star_allowed, int end_code) {
    if (at_ == end_) return fail(end_code, at_);
    if (*at_ == '*') {
        if (!star_allowed) return fail(kErrTooManyArguments, at_);
        field->source = Field::asterisk;
        if (!claim(&field->slot, ArgType{SpecKind::integer, false, true, 4}, at_)) return false;
        ++at_;
        return true;
    }
    if (!is_digit(*at_)) return fail(kErrMissingInteger, at_);
    field->source = Field::number;
    return read_number(&field->value, false);
}

// After an o map: the map and the natural bytes of the positions without a
// digit must be a permutation of the unit's bytes, or a byte would be
// written twice and another never.
bool Tokeniser::check_order(Specifier &s, const char *after) {
    unsigned seen = 0;
    for (unsigned p = 0; p < s.size; ++p) {
        const unsigned byte = s.order[p] == 255 ? p : s.order[p];
        if ((seen >> byte) & 1u) return fail(kErrByteOrder, after);
        seen |= 1u << byte;
    }
    return true;
}

bool Tokeniser::integer_modifier(Specifier &s, char m, const char *at, bool *order_seen) {
    switch (m) {
    case 'b': {
        if (*order_seen) return fail(kErrSizeAfterOrder, at);
        Field f;
        if (!read_field(&f, false, list_end_code_)) return false;
        if (f.value > 8) return fail(kErrIntegerSize, at_);
        s.size = f.value == 0 ? 8 : f.value;
        return true;
    }
    case 'o': {
        *order_seen = true;
        s.has_order = true;
        std::memset(s.order, 255, sizeof s.order);
        unsigned used = 0;
        for (unsigned p = 0; p < 8 && at_ < end_ && *at_ >= '0' && *at_ <= '3'; ++p, ++at_) {
            const unsigned d = static_cast<unsigned>(*at_ - '0');
            if (d >= s.size || p >= s.size || ((used >> d) & 1u)) return fail(kErrByteOrder, at_);
            used |= 1u << d;
            s.order[p] = static_cast<unsigned char>(d);
        }
        return check_order(s, at_);
    }
    case 'r':
        return read_field(&s.radix, true, list_end_code_);
    case 'w':
        return read_field(&s.width, true, list_end_code_);
    case 'p':
        if (at_ == end_) return fail(list_end_code_, at_);
        s.pad = *at_++;
        return true;
    case 's':
        s.is_signed = true;
        return true;
    case 'u':
        s.is_signed = false;
        return true;
    default:
        return fail(kErrUnknownModifier, at);
    }
}

bool Tokeniser::real_modifier(Specifier &s, char m, const char *at) {
    switch (m) {
    case 'b': {
        Field f;
        if (!read_field(&f, false, list_end_code_)) return false;
        if (f.value != 4 && f.value != 8) return fail(kErrRealSize, at_);
        s.size = f.value;
        return true;
    }
    case 'e':
        s.scientific = true;
        if (at_ < end_ && (*at_ == '*' || is_digit(*at_))) return read_field(&s.exponent, true, list_end_code_);
        return true;
    case 'f':
        s.scientific = false;
        return true;
    case 'p':
        return read_field(&s.radix, true, list_end_code_);
    case 'w':
        return read_field(&s.width, true, list_end_code_);
    case 'r':
        s.round = true;
        return true;
    case 't':
        s.round = false;
        return true;
    default:
        return fail(kErrUnknownModifier, at);
    }
}

bool Tokeniser::string_modifier(Specifier &s, char m, const char *at, bool *terminators_started) {
    switch (m) {
    case 'w':
        if (s.line_form != Specifier::not_line) return fail(kErrWidthOnLine, at);
        return read_field(&s.width, true, list_end_code_);
    case 't': {
        if (at_ == end_) return fail(list_end_code_, at_);
        if (!*terminators_started) {
            *terminators_started = true;
            s.terminators_given = true;
            std::memset(s.members, 0xFF, sizeof s.members);
        }
        if (*at_ == '-') {
            ++at_;
            return true;
        }
        if (*at_ == '#') {
            ++at_;
            for (const char *c = "0123456789+-"; *c != '\0'; ++c) clear_member(s, static_cast<unsigned char>(*c));
            return true;
        }
        Field f;
        if (!read_field(&f, false, list_end_code_)) return false;
        clear_member(s, static_cast<unsigned char>(f.value & 0xFF));
        return true;
    }
    case 'a':
        s.append = true;
        return true;
    case 'q':
        s.pad = '\0';
        return true;
    case 'c':
        if (s.line_form == Specifier::not_line) return fail(kErrCommaWithoutLine, at);
        s.line_form = Specifier::comma_line;
        return true;
    case 'y':
        s.keep_blanks = true;
        return true;
    default:
        return fail(kErrUnknownModifier, at);
    }
}

bool Tokeniser::read_modifiers(Specifier &s) {
    ++at_;  // '['
    in_list_ = true;
    list_end_code_ = s.kind == SpecKind::string ? kErrUnexpectedEnd : kErrMissingBracket;
    bool order_seen = false;
    bool terminators_started = false;
    for (;;) {
        if (at_ == end_) return fail(list_end_code_, at_);
        const char *at = at_;
        const char m = *at_++;
        if (m == ']') break;
        bool ok = true;
        switch (m) {  // the modifiers every kind has
        case 'i':
            ok = read_field(&s.start, true, list_end_code_);
            break;
        case 'j': {
            Field f;
            ok = read_field(&f, false, list_end_code_);
            if (ok && f.value > 256) return fail(kErrIntegerSize, at_);
            s.join = f.value;
            break;
        }
        case 'd':
            if (direction_ == Direction::formatting) return fail(kErrDiscardInFmt, at);
            s.discard = true;
            break;
        case 'x':
            s.consume = true;
            break;
        case 'z':
            if (s.kind == SpecKind::string) return fail(kErrUnknownModifier, at);
            if (!s.has_repeat()) return fail(kErrZWithoutRepeat, at);
            s.as_string = true;
            break;
        default:
            if (s.kind == SpecKind::integer) ok = integer_modifier(s, m, at, &order_seen);
            else if (s.kind == SpecKind::real) ok = real_modifier(s, m, at);
            else ok = string_modifier(s, m, at, &terminators_started);
        }
        if (!ok) return false;
    }
    in_list_ = false;
    return true;
}

bool Tokeniser::read_specifier() {
    Item &item = *out_;
    item = Item{};
    item.kind = Item::specifier;
    Specifier &s = item.conversion;
    const char *percent = at_++;
    s.position = static_cast<std::size_t>(percent - begin_);
    const int first_slot = slots_;
    if (at_ < end_ && *at_ == '*') {
        s.rep.source = Field::asterisk;
        if (!claim(&s.rep.slot, ArgType{SpecKind::integer, false, true, 4}, at_)) return false;
        ++at_;
    } else if (at_ < end_ && is_digit(*at_)) {
        s.rep.source = Field::number;
        if (!read_number(&s.rep.value, true)) return false;
    }
    if (at_ == end_) return fail(kErrUnexpectedEnd, at_);
    const char *letter = at_;
    s.letter = *at_;
    switch (s.letter) {
    case 'd':
    case 'i':
        break;
    case 'x':
        s.radix = Field{Field::number, kNoSlot, 16};
        s.is_signed = false;
        break;
    case 'o':
        s.radix = Field{Field::number, kNoSlot, 8};
        s.is_signed = false;
        break;
    case 'c':
        s.size = 1;
        s.radix = Field{Field::number, kNoSlot, 256};
        s.is_signed = false;
        break;
    case 'f':
        s.kind = SpecKind::real;
        s.size = 8;
        break;
    case 'l':
        if (direction_ == Direction::formatting) return fail(kErrLineInFmt, letter);
        s.line_form = Specifier::line;
        [[fallthrough]];
    case 's':
        s.kind = SpecKind::string;
        s.size = 1;
        if (s.has_repeat()) return fail(kErrRepeatOnString, letter);
        break;
    default:
        return fail(kErrUnknownSpecifier, letter);
    }
    if (s.kind == SpecKind::integer && s.radix.source == Field::absent) s.radix = Field{Field::number, kNoSlot, 10};
    ++at_;
    if (at_ < end_ && *at_ == '[' && !read_modifiers(s)) return false;
    if (!s.discard) {
        const SpecKind kind = s.as_string ? SpecKind::string : s.kind;
        if (!claim(&s.data_slot, ArgType{kind, s.has_repeat(), false, s.size}, percent)) return false;
    }
    if (s.join > 0) {
        s.join_text = at_;
        const std::size_t left = static_cast<std::size_t>(end_ - at_);
        if (s.join > left) s.join = static_cast<std::uint32_t>(left);
        at_ += s.join;
    }
    const bool was_first = first_;
    first_ = false;
    const char separator = direction_ == Direction::formatting ? '<' : '>';
    if (!was_first || at_ == end_ || *at_ != separator) return true;
    if (s.discard) return fail(kErrSeparator, at_);
    ++at_;
    s.fixed = true;
    // The fixed side's data slot goes first (its parameter precedes the
    // format); its asterisks follow in written order.
    const int claimed = slots_ - first_slot;
    if (types_ != nullptr && claimed > 1) {
        const ArgType data = types_->slots[first_slot + claimed - 1];
        for (int i = claimed - 1; i > 0; --i) types_->slots[first_slot + i] = types_->slots[first_slot + i - 1];
        types_->slots[first_slot] = data;
    }
    for (Field *f : {&s.rep, &s.start, &s.width, &s.radix, &s.exponent})
        if (f->source == Field::asterisk) ++f->slot;
    s.data_slot = first_slot;
    return true;
}

const Item &Tokeniser::next() {
    if (!last_) last_.emplace();
    next_into(*last_);
    return *last_;
}

// Literal and end items set only their kind, text and length.
void Tokeniser::next_into(Item &out) {
    out_ = &out;
    if (error_code_ != 0) {
        out.kind = Item::error;
        out.error_code = error_code_;
        out.error_index = error_index_;
        return;
    }
    if (at_ == end_) {
        out.kind = Item::end;
        return;
    }
    const char separator = direction_ == Direction::formatting ? '<' : '>';
    const char c = *at_;
    if (c == '<' || c == '>') {
        if (at_ != begin_ || c != separator) {
            fail(kErrSeparator, at_);
            return;
        }
        ++at_;  // the default fixed side's separator
        first_ = false;
        next_into(out);
        return;
    }
    auto escaped = [](char e) { return e == '%' || e == '<' || e == '>' || e == '[' || e == ']'; };
    if (c == '%' && at_ + 1 < end_ && !escaped(at_[1])) {
        read_specifier();
        return;
    }
    if (c == '%' && at_ + 1 == end_) {
        fail(kErrUnexpectedEnd, end_);
        return;
    }
    // Literal text, or an escaped character and the text after it.
    const char *text = c == '%' ? at_ + 1 : at_;
    const char *p = c == '%' ? at_ + 2 : at_;
    while (p < end_ && *p != '%') {
        if (*p == '<' || *p == '>') {
            fail(kErrSeparator, p);
            return;
        }
        ++p;
    }
    first_ = false;
    out.kind = Item::literal;
    out.text = text;
    out.length = static_cast<std::size_t>(p - text);
    at_ = p;
}

ParseResult generate_arg_types(const char *format, std::size_t length, ArgTypes *types, Direction direction,
                               ItemSink *sink) {
    Tokeniser t(format, length, direction);
    t.set_slot_sink(types);
    types->fixed_explicit = false;
    std::optional<Item> own;  // made only when there is no sink
    if (sink == nullptr) own.emplace();
    for (bool first = true;; first = false) {
        Item *item = sink != nullptr ? sink->reserve() : &*own;
        if (item == nullptr) {
            types->count = 0;
            return ParseResult{false, 0, 0, 0};
        }
        t.next_into(*item);
        if (item->kind == Item::end) break;
        if (item->kind == Item::error) {
            types->count = 0;
            return ParseResult{false, 0, item->error_code, item->error_index};
        }
        if (first && item->kind == Item::specifier && item->conversion.fixed) types->fixed_explicit = true;
        if (sink != nullptr) sink->commit(t.position());
    }
    types->count = t.slots();
    return ParseResult{true, t.slots(), 0, 0};
}

}  // namespace kez::fmtio
