// The run-time checks of Fmt and Scan for programs built for debugging:
// the _UP_ entry points hand the call a CallChecks, which reports what the
// format, the passed arguments and the values get wrong. Without one (the
// plain exports) the call checks only what keeps it safe, and fails
// without a report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fmtio/format_parser.h"
#include "protect/library_checks.h"

namespace kez::fmtio {

class CallChecks {
public:
    // `fixed_argument`: the number of the memory object's argument (Fmt's
    // target, Scan's source), 0 for the file calls; the format follows it
    // (or is argument 1, or 2 after a file handle).
    CallChecks(Direction direction, int fixed_argument, int format_argument) noexcept;
    CallChecks(const CallChecks &) = delete;
    CallChecks &operator=(const CallChecks &) = delete;

    int format_argument() const noexcept { return format_argument_; }
    // The argument number of slot `slot` (slot 0 of an explicit fixed side
    // is the fixed argument).
    int slot_argument(int slot, bool fixed_explicit) const noexcept;

    // 233 against the format.
    void null_format() noexcept;
    // 258 at the 0-based `index`.
    void format_error(std::size_t index, int code) noexcept;
    // 235, 236 and 259 for the passed arguments against the slots; false
    // when the call cannot read its arguments safely (too few, a value
    // where a pointer is expected), and must fail.
    bool arguments(const ArgTypes &types) noexcept;
    // Bytes known to be at argument `argument`'s pointer; kUnknown if none.
    std::uint64_t known_size(int argument) noexcept;
    // 255 (null pointer) and 256 (asterisk value) against `argument`, 257
    // at the 0-based `position`.
    void illegal_value(int message, int argument, std::size_t position) noexcept;
    // 241/242 reading, 238/239 writing past a known size.
    void read_beyond(int argument, bool string) noexcept;
    void write_beyond(int argument, bool string) noexcept;

    static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

private:
    void report(int number, int argument, const char *text) noexcept;

    Direction direction_;
    int fixed_argument_;
    int format_argument_;
    bool has_description_ = false;
    protect::PassedArguments passed_;
};

}  // namespace kez::fmtio
