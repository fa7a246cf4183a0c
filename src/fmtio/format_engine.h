// The core that Fmt and Scan share: a specifier bound to its parameter (a
// side of a conversion), the byte streams of memory and file sides, and the
// conversions between integers, reals and text.
//
// A call binds every item twice: once before any data moves, to find
// illegal values (bad radix, width, negative asterisk value, null pointer,
// a count that nothing bounds), and once while it runs. Both passes walk
// the same tokeniser, so they see the same items.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fmtio/format_parser.h"

namespace kez::fmtio {

struct FileEntry;
class CallChecks;

enum class Status : unsigned char { ok, source_end, target_full, fatal };

constexpr std::uint64_t kUnlimited = ~std::uint64_t{0};
constexpr std::int64_t kNoWidth = INT64_MAX;
constexpr std::uint32_t kMaxTextWidth = 511;

// One parameter of the call: a pointer (with the bytes known to be there
// under checking), or an asterisk's value.
struct Param {
    void *pointer;
    std::uint64_t known;
    long long value;
    int number;  // 1-based parameter number, for reports
};

// Output of a formatting call into a file: staged, written when full and
// at the end of the call.
struct FileOutput {
    FileEntry *entry = nullptr;
    std::size_t used = 0;
    unsigned char stage[1024];
};

enum class Role : unsigned char { source, target };

// A specifier bound to its parameter; bind_side sets every field.
struct Side {
    const Specifier *conversion;
    Role role;
    SpecKind kind;                    // a z array is a string
    bool file;                        // the call's file
    bool discard;                     // d: parsed, not stored
    unsigned char *data;              // memory: where unit 0 starts
    std::uint64_t done;               // bytes moved
    std::uint64_t limit;              // byte limit
    std::uint64_t known;              // bytes known to be there (checking)
    std::int64_t width;               // given width (strings: characters; numbers: field)
    std::int64_t width_left;          // strings: characters left
    std::uint64_t units;              // repeat count; kUnlimited: unlimited
    std::uint32_t size;               // bytes of a binary unit
    unsigned radix;
    int precision;                    // reals: -1 not given
    int exponent_digits;
    unsigned char read_order[8];      // with a map: the k-th byte read is byte read_order[k] of the value
    std::uint64_t members[4];         // strings: a cleared bit is a terminator
    std::uint64_t start;              // i
    int param;                        // parameter number for reports (0: none)
    int line_end;                     // a line source's terminator read from a file ('\n', '\r')
    bool ended;                       // a file source has ended (its terminator is taken)

    bool is_text() const { return kind == SpecKind::string; }
    bool member(unsigned char c) const { return (members[c >> 6] >> (c & 63)) & 1u; }
};

struct Call {
    Direction direction = Direction::formatting;
    const char *format = nullptr;
    std::size_t length = 0;
    Param params[kMaxSlots];      // filled for the format's slots only
    Param fixed{nullptr, kUnlimited, 0, 0};  // the fixed side's parameter (memory calls)
    bool fixed_explicit = false;
    bool comma_line = false;      // scanning a comma-separated line: string targets end at commas
    FileEntry *file = nullptr;    // the fixed side is this file
    FileOutput *out = nullptr;    // formatting into the file
    CallChecks *checks = nullptr; // null: unchecked
    Status status = Status::ok;
    std::uint64_t bytes = 0;      // formatted or consumed
    int io_error = 0;             // the file error behind a fatal status
    // Illegal value found while binding: the parameter of an asterisk (or
    // of a null pointer), else 0 for the item's position.
    int illegal_param = 0;
    int illegal_message = 0;      // 256 asterisk value, 255 null pointer, 257 position
};

// Binds `conversion` (null: the default fixed side, a plain string) for `role`;
// `fixed` for the fixed side. Reads parameters only: nothing is moved.
// False for an illegal value (call.illegal_* say which).
bool bind_side(Call &call, const Specifier *conversion, Role role, bool fixed, Side &side);
// Positions a bound side's data when its turn comes: the start index, the
// end of an appended string, the file's seek. False when the seek fails
// (call.status fatal).
bool attach_side(Call &call, Side &side);

// Whether a conversion from `source` to `target` can end: a side with an
// unlimited count of binary units needs a count on the other side (or a
// text or file source, which end by themselves).
bool conversion_is_bounded(const Call &call, const Side &source, const Side &target);

// One unit from `source` into `target`: 1 when the target received a value
// (also when the source ended right after it), 0 when nothing was found or
// a status stopped it. `found_nothing` tells the two apart.
int convert_unit(Call &call, Side &source, Side &target, bool *found_nothing);

// Formatting: a literal into the target (at most what its width allows).
void put_literal(Call &call, Side &target, const char *text, std::size_t length);
// Scanning: matches a literal against a text source; a mismatch ends the
// source (status source_end).
void match_literal(Call &call, Side &source, const char *text, std::size_t length);

// Puts a byte that does not count as formatted (Fmt's NUL, Scan's NUL after
// a string target) when the target has room for it.
void put_terminator(Call &call, Side &target);
// Pads a string target's width with its pad character.
void pad_target(Call &call, Side &target);
// A line source's rest, up to and including its end, unless it was read.
void drop_line_rest(Call &call, Side &source);

// Writes the staged output of a file target; false on a write error
// (call.io_error set).
bool flush_output(Call &call);

}  // namespace kez::fmtio
