/* The engine's C library: raised signals. Each thread has its own handlers;
   by default every signal ends the program with status 1. Signals the
   system delivers keep the system's handling. */
#ifndef KEZ_C_SIGNAL_H
#define KEZ_C_SIGNAL_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

#define SIGINT 1
#define SIGILL 2
#define SIGABRT 3
#define SIGFPE 4
#define SIGSEGV 5
#define SIGTERM 6

typedef void (*kez_sighandler_t)(int);
typedef int sig_atomic_t;
#define SIG_DFL ((kez_sighandler_t)0)
#define SIG_IGN ((kez_sighandler_t)1)
#define SIG_ERR ((kez_sighandler_t)-1)

/* The previous handler, or SIG_ERR for an unknown signal. */
KEZ_API kez_sighandler_t signal(int sig, kez_sighandler_t handler) KEZ_CLIB_NAME(signal);
/* 0 when handled or ignored, -1 for an unknown signal; the default
   handler ends the program. A handler runs once: it is reset to the
   default before it is called. */
KEZ_API int raise(int sig) KEZ_CLIB_NAME(raise);

KEZ_END_DECLS

#endif
