// What the library twins' checks need from user protection: whether checks
// run, the report of a message against an argument, and the description
// of the arguments an instrumented caller passed to the current call.
//
// Compiled debug code hands the engine those descriptions with each call;
// until the engine receives them, only the test hooks provide one, and a
// call without a description is checked for what needs none (formats,
// null pointers).
#pragma once

#include <cstddef>

namespace kez::protect {

// Checks run when the debugging level is 2 or more.
bool protection_available();

// Reports message `number`, its text already formatted, against argument
// `argument` (1-based; 0 for none) with `severity`.
void report_argument_message(int severity, int number, int argument, const char *text);

// A twin's check of a pointer argument that its function requires: while
// checks run, a null `pointer` reports "Null pointer argument to library
// function." against argument `argument`. The twin calls the function all
// the same, which then fails with its own code.
void check_required_pointer(const void *pointer, int argument);

// The type of an argument as the caller passed it.
enum class PassedType : unsigned char {
    none,  // no description
    char_type,
    signed_char,
    unsigned_char,
    short_type,
    unsigned_short,
    int_type,
    unsigned_int,
    long_type,
    unsigned_long,
    int64,
    unsigned_int64,
    float_type,
    double_type,
    long_double,
    void_type,
    pointer,
    function,
};

struct PassedArgument {
    PassedType type;
    PassedType pointee;      // for a pointer: what it points to
    std::size_t known_bytes;  // for a pointer: bytes from it to the end of its object; SIZE_MAX unknown
};

constexpr int kMaxPassedArguments = 64;

struct PassedArguments {
    int count;  // variable arguments described
    PassedArgument variable[kMaxPassedArguments];
    std::size_t fixed_known_bytes[4];  // the fixed arguments' pointers, by number - 1
};

// Takes the description of the current call's arguments, if the caller
// passed one; false otherwise.
bool take_passed_arguments(PassedArguments &out);

// The printed form of a type ("int", "pointer to char").
const char *passed_type_name(PassedType type);

}  // namespace kez::protect
