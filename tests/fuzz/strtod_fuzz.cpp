// libFuzzer target of the decimal-to-double, -float and -long double
// conversions: every input must give what the host's strtod, strtof and
// strtold give (they round correctly): the same value bits, the same end of
// the text and the same range error. Hexadecimal forms, which the engine
// does not read, and NaN payloads, which it does not keep, are compared only
// as far as the engine defines them.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clib/decimal_to_double.h"

namespace {

bool hexadecimal(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+' || *p == '-') ++p;
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

// The engine's result r against the host's reading of text to the same type.
template <class Parsed, class Value>
void check(const std::string &text, const Parsed &r, Value (*host_read)(const char *, char **), std::size_t bytes) {
    if (hexadecimal(text.c_str())) {
        // Read as the zero before the x.
        if (r.value != 0 || r.end == text.c_str()) __builtin_trap();
        return;
    }
    errno = 0;
    char *end = nullptr;
    const Value host = host_read(text.c_str(), &end);
    if (end != r.end) __builtin_trap();
    if (std::isnan(host)) {
        if (!std::isnan(r.value) || std::signbit(host) != std::signbit(r.value)) __builtin_trap();
        return;
    }
    if (std::memcmp(&host, &r.value, bytes) != 0 || (errno == ERANGE) != r.range_error) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);  // cut at the first NUL below
    check(text, kez::clib::parse_double(text.c_str(), '.'), std::strtod, 8);
    check(text, kez::clib::parse_float(text.c_str(), '.'), std::strtof, 4);
    check(text, kez::clib::parse_long_double(text.c_str(), '.'), std::strtold, 10);  // the 80-bit value's bytes
    return 0;
}
