/* The engine's C library: wide strings. */
#ifndef KEZ_C_WCHAR_H
#define KEZ_C_WCHAR_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

KEZ_API size_t wcslen(const wchar_t *text) KEZ_CLIB_NAME(wcslen);

KEZ_END_DECLS

#endif
