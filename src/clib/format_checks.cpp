#include "clib/format_checks.h"

#include <cstdarg>
#include <cstdio>

#include "clib/print_engine.h"
#include "core/messages.h"
#include "protect/library_checks.h"

namespace kez::clib {
namespace {

using protect::PassedType;

constexpr int kFatal = 3;
constexpr int kNonFatal = 2;

// A message's text as the table has it.
const char *text_of(int number) {
    const char *text = core::message_text(number);
    return text != nullptr ? text : "";
}

// A message whose "%t" conversions print types: `first` and `second` in turn.
void with_types(char *out, std::size_t size, const char *text, const char *first, const char *second) {
    std::size_t n = 0;
    auto add = [&](char ch) {
        if (n + 1 < size) out[n++] = ch;
    };
    for (const char *p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 't') {
            for (const char *t = first; *t != '\0'; ++t) add(*t);
            first = second;
            second = "";
            ++p;
            continue;
        }
        add(*p);
    }
    out[n] = '\0';
}

bool is_small_integer(PassedType t) {
    switch (t) {
    case PassedType::char_type:
    case PassedType::signed_char:
    case PassedType::unsigned_char:
    case PassedType::short_type:
    case PassedType::unsigned_short:
    case PassedType::int_type:
    case PassedType::unsigned_int: return true;
    default: return false;
    }
}
bool is_long(PassedType t) { return t == PassedType::long_type || t == PassedType::unsigned_long; }
bool is_int64(PassedType t) { return t == PassedType::int64 || t == PassedType::unsigned_int64; }
bool is_integer(PassedType t) { return is_small_integer(t) || is_long(t) || is_int64(t); }
bool is_char(PassedType t) {
    return t == PassedType::char_type || t == PassedType::signed_char || t == PassedType::unsigned_char;
}
#if defined(_WIN32)
constexpr bool kLongIsInt = true;  // long is 32-bit, long double is double
#else
constexpr bool kLongIsInt = false;
#endif

bool value_fits(ArgKind kind, PassedType t) {
    switch (kind) {
    case ArgKind::int_value:
    case ArgKind::char_value:
    case ArgKind::short_value: return is_small_integer(t) || (kLongIsInt && is_long(t));
    case ArgKind::long_value: return is_long(t) || (kLongIsInt && is_small_integer(t)) || (!kLongIsInt && is_int64(t));
    case ArgKind::long_long_value:
    case ArgKind::size_value: return is_int64(t) || (!kLongIsInt && is_long(t));
    case ArgKind::double_value:
        return t == PassedType::double_type || t == PassedType::float_type || (kLongIsInt && t == PassedType::long_double);
    case ArgKind::long_double_value: return t == PassedType::long_double || (kLongIsInt && t == PassedType::double_type);
    default: return false;
    }
}

bool pointee_fits(ArgKind kind, PassedType p) {
    switch (kind) {
    case ArgKind::string:
    case ArgKind::char_pointer: return is_char(p) || p == PassedType::void_type;
    case ArgKind::void_pointer: return true;
    case ArgKind::int_pointer: return p == PassedType::int_type || p == PassedType::unsigned_int || (kLongIsInt && is_long(p));
    case ArgKind::short_pointer: return p == PassedType::short_type || p == PassedType::unsigned_short;
    case ArgKind::long_pointer:
        return is_long(p) || (kLongIsInt && (p == PassedType::int_type || p == PassedType::unsigned_int)) ||
               (!kLongIsInt && is_int64(p));
    case ArgKind::long_long_pointer: return is_int64(p) || (!kLongIsInt && is_long(p));
    case ArgKind::float_pointer: return p == PassedType::float_type;
    case ArgKind::double_pointer: return p == PassedType::double_type || (kLongIsInt && p == PassedType::long_double);
    case ArgKind::long_double_pointer: return p == PassedType::long_double || (kLongIsInt && p == PassedType::double_type);
    default: return false;
    }
}

bool is_pointer_kind(ArgKind kind) { return kind >= ArgKind::string; }

const char *expected_name(ArgKind kind) {
    switch (kind) {
    case ArgKind::int_value: return "int";
    case ArgKind::char_value: return "char";
    case ArgKind::short_value: return "short";
    case ArgKind::long_value: return "long";
    case ArgKind::long_long_value: return "__int64";
    case ArgKind::size_value: return "unsigned __int64";
    case ArgKind::double_value: return "double";
    case ArgKind::long_double_value: return "long double";
    case ArgKind::string:
    case ArgKind::char_pointer: return "pointer to char";
    case ArgKind::void_pointer: return "pointer to void";
    case ArgKind::int_pointer: return "pointer to int";
    case ArgKind::short_pointer: return "pointer to short";
    case ArgKind::long_pointer: return "pointer to long";
    case ArgKind::long_long_pointer: return "pointer to __int64";
    case ArgKind::float_pointer: return "pointer to float";
    case ArgKind::double_pointer: return "pointer to double";
    case ArgKind::long_double_pointer: return "pointer to long double";
    }
    return "";
}

void format_message(char *out, std::size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    format_text(out, size, format, args);
    va_end(args);
}

void report(int severity, int number, int argument, const char *text) {
    protect::report_argument_message(severity, number, argument, text);
}

}  // namespace

FormatChecks::FormatChecks(const char *function, int format_argument, int first_variable) noexcept
    : function_(function), format_argument_(format_argument), first_variable_(first_variable) {
    has_description_ = protect::take_passed_arguments(passed_);
}

void FormatChecks::null_format() noexcept { report(kFatal, 233, format_argument_, text_of(233)); }

void FormatChecks::format_error(int position, FormatError error) noexcept {
    char text[160];
    format_message(text, sizeof text, text_of(258), position, format_error_text(error));
    report(kFatal, 258, format_argument_, text);
}

void FormatChecks::conversion(const Conversion &c, bool scan) noexcept {
    int numbers[kMaxModifierFindings];
    const int n = modifier_findings(c, scan, numbers);
    for (int i = 0; i < n; ++i) report(kNonFatal, numbers[i], format_argument_, text_of(numbers[i]));
}

void FormatChecks::field_too_wide() noexcept {
    report(kFatal, 249, format_argument_, text_of(249));
}

void FormatChecks::negative_width() noexcept {
    report(kFatal, 250, format_argument_, text_of(250));
}

bool FormatChecks::has_argument(int index) noexcept {
    if (!has_description_ || index < passed_.count) return true;
    report(kFatal, 107, first_variable_ + index - 1, text_of(107));
    return false;
}

bool FormatChecks::argument(int index, ArgKind kind, std::uint64_t raw) noexcept {
    if (!has_description_ || index >= passed_.count) return true;
    const protect::PassedArgument &p = passed_.variable[index];
    if (p.type == PassedType::none) return true;
    bool fits;
    if (is_pointer_kind(kind)) {
        // A null pointer constant passed as an integer is a null pointer.
        fits = p.type == PassedType::pointer ? pointee_fits(kind, p.pointee) : is_integer(p.type) && raw == 0;
        if (kind == ArgKind::void_pointer && p.type == PassedType::pointer) fits = true;
    } else {
        fits = value_fits(kind, p.type);
    }
    if (fits) return true;
    char found[64];
    if (p.type == PassedType::pointer)
        std::snprintf(found, sizeof found, "pointer to %s", protect::passed_type_name(p.pointee));
    else
        std::snprintf(found, sizeof found, "%s", protect::passed_type_name(p.type));
    char text[192];
    with_types(text, sizeof text, text_of(106), found, expected_name(kind));
    report(kFatal, 106, first_variable_ + index, text);
    // A value of the wrong type is still a value; a pointer that is not
    // one must not be read or written through.
    return !is_pointer_kind(kind) || kind == ArgKind::void_pointer;
}

std::size_t FormatChecks::known_size(int index) noexcept {
    if (!has_description_ || index >= passed_.count) return SIZE_MAX;
    const protect::PassedArgument &p = passed_.variable[index];
    return p.type == PassedType::pointer ? p.known_bytes : SIZE_MAX;
}

std::size_t FormatChecks::known_fixed_size(int argument) noexcept {
    if (!has_description_ || argument < 1 || argument > 4) return SIZE_MAX;
    return passed_.fixed_known_bytes[argument - 1];
}

void FormatChecks::read_beyond(int index) noexcept {
    report(kFatal, 242, first_variable_ + index, text_of(242));
}

void FormatChecks::write_beyond_array(int index) noexcept {
    report(kFatal, 238, first_variable_ + index, text_of(238));
}

void FormatChecks::write_beyond_string(int index) noexcept {
    report(kFatal, 239, first_variable_ + index, text_of(239));
}

void FormatChecks::write_beyond_fixed(int argument) noexcept {
    report(kFatal, 239, argument, text_of(239));
}

void FormatChecks::write_beyond_target(int index) noexcept {
    const bool described = has_description_ && index < passed_.count &&
                           passed_.variable[index].type == PassedType::pointer;
    if (described && !is_char(passed_.variable[index].pointee)) write_beyond_array(index);
    else write_beyond_string(index);
}

void FormatChecks::finish(int taken) noexcept {
    if (!has_description_ || taken >= passed_.count) return;
    report(kNonFatal, 108, first_variable_ + taken, text_of(108));
}

}  // namespace kez::clib
