// The C library's mathematical exports. Names the host C library also has
// are defined as kez_<name> (see clib_exports.h).
#pragma once

#include "kez/kez_api.h"

extern "C" {
KEZ_API const double *_GetDoubleEps(void);
KEZ_API const double *_GetDoubleInf(void);
KEZ_API const double *_GetDoubleMax(void);
KEZ_API const double *_GetDoubleMin(void);
KEZ_API const float *_GetFloatEps(void);
KEZ_API const float *_GetFloatMax(void);
KEZ_API const float *_GetFloatMin(void);

KEZ_API double kez_acos(double x);
KEZ_API double kez_asin(double x);
KEZ_API double kez_atan(double x);
KEZ_API double kez_atan2(double y, double x);
KEZ_API double kez_cos(double x);
KEZ_API double kez_sin(double x);
KEZ_API double kez_tan(double x);
KEZ_API double kez_cosh(double x);
KEZ_API double kez_sinh(double x);
KEZ_API double kez_tanh(double x);
KEZ_API double kez_exp(double x);
KEZ_API double kez_log(double x);
KEZ_API double kez_log10(double x);
KEZ_API double kez_pow(double x, double y);
KEZ_API double kez_sqrt(double x);
KEZ_API double kez_fmod(double x, double y);
KEZ_API double kez_ldexp(double x, int exp);
KEZ_API double kez_ceil(double x);
KEZ_API double kez_floor(double x);
KEZ_API double kez_fabs(double x);
KEZ_API double kez_frexp(double x, int *exp);
KEZ_API double kez_modf(double x, double *intpart);
KEZ_API void kez_sincos(double x, double *sin_x, double *cos_x);
KEZ_API double kez_exp2(double x);
}
