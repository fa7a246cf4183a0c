/* The engine's ANSI C library. A program that includes this header, or
   the standard-named headers in kez/c/ (stdio.h, stdlib.h, ...; put that
   directory first on the include path with -isystem and unmodified sources
   build), calls the engine's functions under their standard names (on
   Linux through the kez_ link names, see KEZ_CLIB_NAME). Self-contained:
   nothing comes from the host C library's headers, only the compiler's
   own stddef.h and stdarg.h. */
#ifndef KEZ_ANSI_C_H
#define KEZ_ANSI_C_H

#include "kez/c/assert.h"
#include "kez/c/ctype.h"
#include "kez/c/errno.h"
#include "kez/c/inttypes.h"
#include "kez/c/io.h"
#include "kez/c/locale.h"
#include "kez/c/math.h"
#include "kez/c/mbstring.h"
#include "kez/c/setjmp.h"
#include "kez/c/signal.h"
#include "kez/c/stdio.h"
#include "kez/c/stdlib.h"
#include "kez/c/string.h"
#include "kez/c/time.h"
#include "kez/c/unistd.h"
#include "kez/c/wchar.h"

#endif
