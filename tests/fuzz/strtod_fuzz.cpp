// libFuzzer target of the decimal-to-double conversion: every input must
// give what glibc's strtod gives (glibc rounds correctly): the same value
// bits, the same end of the text and the same range error. Hexadecimal
// forms, which the engine does not read, and NaN payloads, which it does
// not keep, are compared only as far as the engine defines them.
#include <cerrno>
#include <cmath>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);  // cut at the first NUL below
    const auto r = kez::clib::parse_double(text.c_str(), '.');
    if (hexadecimal(text.c_str())) {
        // Read as the zero before the x.
        if (r.value != 0 || r.end == text.c_str()) __builtin_trap();
        return 0;
    }
    errno = 0;
    char *end = nullptr;
    const double host = std::strtod(text.c_str(), &end);
    if (end != r.end) __builtin_trap();
    if (std::isnan(host)) {
        if (!std::isnan(r.value) || std::signbit(host) != std::signbit(r.value)) __builtin_trap();
        return 0;
    }
    std::uint64_t a, b;
    std::memcpy(&a, &host, 8);
    std::memcpy(&b, &r.value, 8);
    if (a != b || (errno == ERANGE) != r.range_error) __builtin_trap();
    return 0;
}
