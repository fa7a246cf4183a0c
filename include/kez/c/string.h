/* The engine's C library: strings and memory. */
#ifndef KEZ_C_STRING_H
#define KEZ_C_STRING_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

KEZ_API char *strerror(int errnum) KEZ_CLIB_NAME(strerror);

KEZ_END_DECLS

#endif
