// math.h: the functions, computed by the host's math library, with errno
// reported the engine's way, and the limits of double and float.
#include <cerrno>
#include <cmath>
#include <limits>

#include "clib/clib_library.h"
#include "clib/clib_math_exports.h"

namespace {

// The host's math library reports errors through the host's errno, but
// hosts differ in which cases they report, so the engine decides from the
// result as well, the same way on every platform:
// - EDOM: the host said EDOM, or the result is NaN, and no argument was NaN
//   (a NaN argument gives a NaN quietly; some hosts call it EDOM);
// - ERANGE: the result is infinite and every argument was finite (overflow
//   or a pole), whether the host said ERANGE or nothing.
// A host ERANGE with a finite result is an underflow: the engine returns
// the host's zero or subnormal value, the nearest there is, and leaves
// errno alone, since hosts disagree on whether an underflow is an error.
template <class... Args>
double report(double result, int host_errno, Args... args) {
    const bool nan_argument = (std::isnan(args) || ...);
    const bool finite_arguments = (std::isfinite(args) && ...);
    if (!nan_argument && (host_errno == EDOM || std::isnan(result)))
        kez::clib::set_errno(kez::clib::kEDOM);
    else if (std::isinf(result) && finite_arguments)
        kez::clib::set_errno(kez::clib::kERANGE);
    return result;
}

// Calls the host's function with the host's errno cleared first.
template <class Host, class... Args>
double checked(Host host, Args... args) {
    errno = 0;
    const double result = host(args...);
    return report(result, errno, args...);
}

// Out of line so that no compiler merges the two calls in kez_sincos into
// the host's combined function.
[[gnu::noinline]] double host_sin(double x) { return std::sin(x); }
[[gnu::noinline]] double host_cos(double x) { return std::cos(x); }

}  // namespace

// Each constant lives once in read-only data; compiled code reads it
// through the address.
extern "C" const double *_GetDoubleEps(void) {
    static constexpr double value = std::numeric_limits<double>::epsilon();
    return &value;
}
extern "C" const double *_GetDoubleInf(void) {
    static constexpr double value = std::numeric_limits<double>::infinity();
    return &value;
}
extern "C" const double *_GetDoubleMax(void) {
    static constexpr double value = std::numeric_limits<double>::max();
    return &value;
}
extern "C" const double *_GetDoubleMin(void) {
    static constexpr double value = std::numeric_limits<double>::min();
    return &value;
}
extern "C" const float *_GetFloatEps(void) {
    static constexpr float value = std::numeric_limits<float>::epsilon();
    return &value;
}
extern "C" const float *_GetFloatMax(void) {
    static constexpr float value = std::numeric_limits<float>::max();
    return &value;
}
extern "C" const float *_GetFloatMin(void) {
    static constexpr float value = std::numeric_limits<float>::min();
    return &value;
}

extern "C" double kez_acos(double x) { return checked([](double v) { return std::acos(v); }, x); }
extern "C" double kez_asin(double x) { return checked([](double v) { return std::asin(v); }, x); }
extern "C" double kez_atan(double x) { return checked([](double v) { return std::atan(v); }, x); }
extern "C" double kez_atan2(double y, double x) { return checked([](double a, double b) { return std::atan2(a, b); }, y, x); }
extern "C" double kez_cos(double x) { return checked(host_cos, x); }
extern "C" double kez_sin(double x) { return checked(host_sin, x); }
extern "C" double kez_tan(double x) { return checked([](double v) { return std::tan(v); }, x); }
extern "C" double kez_cosh(double x) { return checked([](double v) { return std::cosh(v); }, x); }
extern "C" double kez_sinh(double x) { return checked([](double v) { return std::sinh(v); }, x); }
extern "C" double kez_tanh(double x) { return checked([](double v) { return std::tanh(v); }, x); }
extern "C" double kez_exp(double x) { return checked([](double v) { return std::exp(v); }, x); }
extern "C" double kez_exp2(double x) { return checked([](double v) { return std::exp2(v); }, x); }
extern "C" double kez_log(double x) { return checked([](double v) { return std::log(v); }, x); }
extern "C" double kez_log10(double x) { return checked([](double v) { return std::log10(v); }, x); }
extern "C" double kez_pow(double x, double y) { return checked([](double a, double b) { return std::pow(a, b); }, x, y); }
extern "C" double kez_sqrt(double x) { return checked([](double v) { return std::sqrt(v); }, x); }
extern "C" double kez_fmod(double x, double y) { return checked([](double a, double b) { return std::fmod(a, b); }, x, y); }

extern "C" double kez_ldexp(double x, int exp) {
    return checked([exp](double v) { return std::ldexp(v, exp); }, x);
}

// sin and cos each through the host's separate function, so that the pair
// is exactly what kez_sin and kez_cos give (a host's combined function may
// round differently). Each reports its own errors; both agree on them.
extern "C" void kez_sincos(double x, double *sin_x, double *cos_x) {
    *sin_x = kez_sin(x);
    *cos_x = kez_cos(x);
}

extern "C" double kez_ceil(double x) { return std::ceil(x); }
extern "C" double kez_floor(double x) { return std::floor(x); }
extern "C" double kez_fabs(double x) { return std::fabs(x); }
extern "C" double kez_frexp(double x, int *exp) { return std::frexp(x, exp); }
// Both parts carry the argument's sign, zeros included (modf(-2) is -0.0
// and -2), which not every host gets right.
extern "C" double kez_modf(double x, double *intpart) {
    double whole;
    const double fraction = std::modf(x, &whole);
    *intpart = std::copysign(whole, x);
    return std::copysign(fraction, x);
}
