#include "fmtio/call_checks.h"

#include <cstdio>

#include "core/messages.h"

namespace kez::fmtio {
namespace {

using protect::PassedType;

constexpr int kFatal = 3;

const char *text_of(int number) {
    const char *text = core::message_text(number);
    return text != nullptr ? text : "";
}

bool is_char(PassedType t) {
    return t == PassedType::char_type || t == PassedType::signed_char || t == PassedType::unsigned_char;
}
bool is_short(PassedType t) { return t == PassedType::short_type || t == PassedType::unsigned_short; }
bool is_int(PassedType t) { return t == PassedType::int_type || t == PassedType::unsigned_int; }
bool is_long(PassedType t) { return t == PassedType::long_type || t == PassedType::unsigned_long; }
bool is_int64(PassedType t) { return t == PassedType::int64 || t == PassedType::unsigned_int64; }
#if defined(_WIN32)
constexpr bool kLongIs64 = false;
#else
constexpr bool kLongIs64 = true;
#endif

// The names the messages use for types.
const char *type_name(PassedType t) {
    if (is_char(t)) return "char";
    if (is_short(t)) return "short";
    if (is_int(t)) return "int";
    if (is_long(t)) return "long";
    if (is_int64(t)) return "long long";
    switch (t) {
    case PassedType::float_type: return "float";
    case PassedType::double_type:
    case PassedType::long_double: return "double";
    case PassedType::void_type: return "void";
    default: return "aggregate or userdefined";
    }
}

// The type a slot expects and whether `t` (a value, or a pointer's
// target) is acceptable for it.
const char *expected_name(const ArgType &a) {
    if (a.is_asterisk) return "int";
    if (a.kind == SpecKind::string) return "char";
    if (a.kind == SpecKind::real) return a.size == 4 ? "float" : "double";
    switch (a.size) {
    case 1: return "char";
    case 2: return "short";
    case 8: return "long long";
    default: return "int";
    }
}

bool accepts(const ArgType &a, PassedType t, bool value) {
    if (a.is_asterisk) return is_char(t) || is_short(t) || is_int(t) || (is_long(t) && !kLongIs64);
    if (a.kind == SpecKind::string) return is_char(t) || t == PassedType::void_type;
    if (a.kind == SpecKind::real) {
        if (value) return t == PassedType::double_type || t == PassedType::float_type;
        return a.size == 4 ? t == PassedType::float_type : t == PassedType::double_type;
    }
    if (t == PassedType::void_type && !value) return true;
    const bool wide = is_int64(t) || (is_long(t) && kLongIs64);
    switch (a.size) {
    case 8: return wide;
    case 1: return value ? !wide && (is_char(t) || is_short(t) || is_int(t) || is_long(t)) : is_char(t);
    case 2: return value ? !wide && (is_char(t) || is_short(t) || is_int(t) || is_long(t)) : is_short(t);
    default: return !wide && (is_int(t) || is_long(t) || (value && (is_char(t) || is_short(t))));
    }
}

}  // namespace

CallChecks::CallChecks(Direction direction, int fixed_argument, int format_argument) noexcept
    : direction_(direction), fixed_argument_(fixed_argument), format_argument_(format_argument) {
    has_description_ = protect::protection_available() && protect::take_passed_arguments(passed_);
}

int CallChecks::slot_argument(int slot, bool fixed_explicit) const noexcept {
    const int first_variable = format_argument_ + 1;
    if (!fixed_explicit) return first_variable + slot;
    return slot == 0 ? fixed_argument_ : first_variable + slot - 1;
}

void CallChecks::report(int number, int argument, const char *text) noexcept {
    if (!protect::protection_available()) return;
    protect::report_argument_message(kFatal, number, argument, text);
}

void CallChecks::null_format() noexcept { report(233, format_argument_, text_of(233)); }

void CallChecks::format_error(std::size_t index, int code) noexcept {
    char text[256];
    std::snprintf(text, sizeof text, text_of(258), static_cast<int>(index + 1), text_of(code));
    report(258, format_argument_, text);
}

bool CallChecks::arguments(const ArgTypes &types) noexcept {
    if (!has_description_) return true;
    const int first_slot = types.fixed_explicit ? 1 : 0;
    const int expected = types.count - first_slot;
    if (passed_.count > expected) {
        report(235, format_argument_ + 1 + expected, text_of(235));
    } else if (passed_.count < expected) {
        report(236, format_argument_ + 1 + passed_.count, text_of(236));
        return false;
    }
    const bool formatting = direction_ == Direction::formatting;
    bool safe = true;
    for (int slot = first_slot; slot < types.count && slot - first_slot < passed_.count; ++slot) {
        const ArgType &a = types.slots[slot];
        const protect::PassedArgument &p = passed_.variable[slot - first_slot];
        if (p.type == PassedType::none) continue;
        const bool by_value = a.is_asterisk || (formatting && !a.is_array && a.kind != SpecKind::string);
        const bool is_pointer = p.type == PassedType::pointer;
        const PassedType found = is_pointer ? p.pointee : p.type;
        if (by_value == !is_pointer && (found == PassedType::none || accepts(a, found, by_value))) continue;
        char text[256];
        std::snprintf(text, sizeof text, text_of(259), by_value ? "" : "pointer to ", expected_name(a),
                      is_pointer ? "pointer to " : "", type_name(found));
        report(259, slot_argument(slot, types.fixed_explicit), text);
        // A value where a pointer is expected would be written through.
        if (!by_value && !is_pointer) safe = false;
    }
    return safe;
}

std::uint64_t CallChecks::known_size(int argument) noexcept {
    if (!has_description_ || argument <= 0) return kUnknown;
    if (argument <= format_argument_) {
        const std::size_t bytes = passed_.fixed_known_bytes[argument - 1];
        return bytes == SIZE_MAX ? kUnknown : bytes;
    }
    const int index = argument - format_argument_ - 1;
    if (index >= passed_.count) return kUnknown;
    const protect::PassedArgument &p = passed_.variable[index];
    return p.type == PassedType::pointer && p.known_bytes != SIZE_MAX ? p.known_bytes : kUnknown;
}

void CallChecks::illegal_value(int message, int argument, std::size_t position) noexcept {
    if (message == 257) {
        char text[128];
        std::snprintf(text, sizeof text, text_of(257), static_cast<int>(position + 1));
        report(257, format_argument_, text);
        return;
    }
    report(message, argument, text_of(message));
}

void CallChecks::read_beyond(int argument, bool string) noexcept {
    report(string ? 242 : 241, argument, text_of(string ? 242 : 241));
}

void CallChecks::write_beyond(int argument, bool string) noexcept {
    report(string ? 239 : 238, argument, text_of(string ? 239 : 238));
}

}  // namespace kez::fmtio
