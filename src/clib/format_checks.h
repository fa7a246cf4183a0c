// The run-time checks of the printf and scanf families for programs built
// for debugging: the _UP_ twins hand the engines a FormatChecks, which
// reports what the format and the passed arguments get wrong. Without one
// (the plain exports) the engines check nothing beyond what keeps them safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clib/format_conversion.h"
#include "protect/library_checks.h"

namespace kez::clib {

// The type an engine takes an argument as.
enum class ArgKind : unsigned char {
    int_value,        // int (also *, %c, and %hh/%h values, which arrive promoted)
    char_value,       // %hhd
    short_value,      // %hd
    long_value,       // %ld
    long_long_value,  // %lld, %I64d, %jd
    size_value,       // %zd, %td: the 64-bit type
    double_value,
    long_double_value,
    string,             // char * read as a string
    void_pointer,       // %p
    int_pointer,        // %n, scanf targets
    char_pointer,
    short_pointer,
    long_pointer,
    long_long_pointer,
    float_pointer,
    double_pointer,
    long_double_pointer,
};

class FormatChecks {
public:
    // `function`: the checked export's name; `first_variable`: the 1-based
    // number of its first variable argument; `format_argument`: the number
    // of the format argument.
    FormatChecks(const char *function, int format_argument, int first_variable) noexcept;
    FormatChecks(const FormatChecks &) = delete;
    FormatChecks &operator=(const FormatChecks &) = delete;

    // 233 against the format argument.
    void null_format() noexcept;
    // 258 at the 1-based `position` with the error's text.
    void format_error(int position, FormatError error) noexcept;
    // 224-230, 453, 454, 460 for the conversion; reported, never fatal.
    void conversion(const Conversion &c, bool scan) noexcept;
    // 249.
    void field_too_wide() noexcept;
    // 250.
    void negative_width() noexcept;

    // Before the engine takes variable argument `index` (0-based): false
    // when the call passed fewer (107 reported); the engine then fails.
    bool has_argument(int index) noexcept;
    // After taking it as `kind` (`raw` its bits, for pointers the address):
    // false when it does not fit and the engine must fail (106 reported).
    bool argument(int index, ArgKind kind, std::uint64_t raw) noexcept;
    // Bytes known to be readable or writable at the pointer passed as
    // variable argument `index`; SIZE_MAX when nothing is known.
    std::size_t known_size(int index) noexcept;
    // Bytes known at a fixed argument (the sprintf buffer); SIZE_MAX when
    // nothing is known.
    std::size_t known_fixed_size(int argument) noexcept;
    // 242 (reading a string past its storage), 238/239 (writing past it)
    // for variable argument `index`; 239 for a fixed argument.
    void read_beyond(int index) noexcept;
    void write_beyond_array(int index) noexcept;
    void write_beyond_string(int index) noexcept;
    void write_beyond_fixed(int argument) noexcept;
    // 239 when variable argument `index` points to char (or is not
    // described), 238 for any other target: scanf's text targets.
    void write_beyond_target(int index) noexcept;
    // The call is over: 108 when it passed more arguments than it took.
    void finish(int taken) noexcept;

    const char *function() const noexcept { return function_; }

private:
    const char *function_;
    int format_argument_;
    int first_variable_;
    bool has_description_ = false;
    protect::PassedArguments passed_;
};

}  // namespace kez::clib
