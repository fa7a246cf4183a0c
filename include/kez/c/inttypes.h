/* The engine's C library: the widest integer types and their conversions. */
#ifndef KEZ_C_INTTYPES_H
#define KEZ_C_INTTYPES_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

typedef long long intmax_t;
typedef unsigned long long uintmax_t;

/* As strtoll and strtoull. */
KEZ_API intmax_t strtoimax(const char *text, char **end, int base) KEZ_CLIB_NAME(strtoimax);
KEZ_API uintmax_t strtoumax(const char *text, char **end, int base) KEZ_CLIB_NAME(strtoumax);
KEZ_API intmax_t Kez_strtoimax(const char *text, char **end, int base);
KEZ_API uintmax_t Kez_strtoumax(const char *text, char **end, int base);

KEZ_END_DECLS

#endif
