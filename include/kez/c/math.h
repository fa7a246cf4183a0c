/* The engine's C library: mathematics. */
#ifndef KEZ_C_MATH_H
#define KEZ_C_MATH_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* Addresses of constants stored once in read-only data, for compiled code
   that needs the limits of double and float: the difference between 1 and
   the next value above it, positive infinity (double only), the largest
   finite value and the smallest normalised positive value. */
KEZ_API const double *_GetDoubleEps(void);
KEZ_API const double *_GetDoubleInf(void);
KEZ_API const double *_GetDoubleMax(void);
KEZ_API const double *_GetDoubleMin(void);
KEZ_API const float *_GetFloatEps(void);
KEZ_API const float *_GetFloatMax(void);
KEZ_API const float *_GetFloatMin(void);

#if defined(__GNUC__)
#define HUGE_VAL (__builtin_huge_val())
#else
#define HUGE_VAL (*_GetDoubleInf())
#endif

/* Errors set errno the same way on every platform:
   - EDOM when the result is NaN and no argument was (sqrt(-1), log(-1),
     acos(2), fmod(x, 0), sin(inf)); NaN arguments give NaN without error;
   - ERANGE when the result is infinite and every argument was finite:
     overflow (exp(1000), pow(10, 400)) and poles (log(0), pow(0, -1)), the
     result then being HUGE_VAL with the sign of the true value.
   A result too small for the normal range (exp(-1000)) is returned as the
   zero or subnormal value nearest to it, and errno is left as it was.
   errno is never cleared. */
KEZ_API double acos(double x) KEZ_CLIB_NAME(acos);
KEZ_API double asin(double x) KEZ_CLIB_NAME(asin);
KEZ_API double atan(double x) KEZ_CLIB_NAME(atan);
KEZ_API double atan2(double y, double x) KEZ_CLIB_NAME(atan2);
KEZ_API double cos(double x) KEZ_CLIB_NAME(cos);
KEZ_API double sin(double x) KEZ_CLIB_NAME(sin);
KEZ_API double tan(double x) KEZ_CLIB_NAME(tan);
KEZ_API double cosh(double x) KEZ_CLIB_NAME(cosh);
KEZ_API double sinh(double x) KEZ_CLIB_NAME(sinh);
KEZ_API double tanh(double x) KEZ_CLIB_NAME(tanh);
KEZ_API double exp(double x) KEZ_CLIB_NAME(exp);
KEZ_API double log(double x) KEZ_CLIB_NAME(log);
KEZ_API double log10(double x) KEZ_CLIB_NAME(log10);
KEZ_API double pow(double x, double y) KEZ_CLIB_NAME(pow);
KEZ_API double sqrt(double x) KEZ_CLIB_NAME(sqrt);
KEZ_API double fmod(double x, double y) KEZ_CLIB_NAME(fmod);
KEZ_API double ldexp(double x, int exp) KEZ_CLIB_NAME(ldexp);
/* Exact, never setting errno. modf's two parts both have the sign of x
   (modf(-2.0) gives -0.0 and -2.0). */
KEZ_API double ceil(double x) KEZ_CLIB_NAME(ceil);
KEZ_API double floor(double x) KEZ_CLIB_NAME(floor);
KEZ_API double fabs(double x) KEZ_CLIB_NAME(fabs);
KEZ_API double frexp(double x, int *exp) KEZ_CLIB_NAME(frexp);
KEZ_API double modf(double x, double *intpart) KEZ_CLIB_NAME(modf);

/* What optimising compilers call in place of the functions above: sin and
   cos of one argument together (the same values and errno as the separate
   calls), and pow(2, x). */
KEZ_API void sincos(double x, double *sin_x, double *cos_x) KEZ_CLIB_NAME(sincos);
KEZ_API double exp2(double x) KEZ_CLIB_NAME(exp2);

KEZ_END_DECLS

#endif
