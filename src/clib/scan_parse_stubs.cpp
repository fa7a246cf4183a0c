// TEMPORARY: stand-ins for parse_float and parse_long_double until their
// correctly rounded routines land (then this file goes). They round twice,
// through double.
#include <cfloat>
#include <cmath>

#include "clib/decimal_to_double.h"

namespace kez::clib {

ParsedFloat parse_float(const char *text, char decimal_point) noexcept {
    const ParsedDouble d = parse_double(text, decimal_point);
    const auto f = static_cast<float>(d.value);
    const bool out_of_range = (std::isinf(f) && !std::isinf(d.value)) || (f == 0 && d.value != 0) ||
                              (std::fabs(f) < FLT_MIN && static_cast<double>(f) != d.value);
    return {f, d.end, d.range_error || out_of_range};
}

ParsedLongDouble parse_long_double(const char *text, char decimal_point) noexcept {
    const ParsedDouble d = parse_double(text, decimal_point);
    return {d.value, d.end, d.range_error};
}

}  // namespace kez::clib
