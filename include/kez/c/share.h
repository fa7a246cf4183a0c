/* The engine's C library: share modes of sopen. */
#ifndef KEZ_C_SHARE_H
#define KEZ_C_SHARE_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* sopen's share modes: what other opens of the file may do. */
#define SH_DENYRW 0
#define SH_DENYWR 1
#define SH_DENYRD 2
#define SH_DENYNO 3
#define SH_COMPAT 4

KEZ_END_DECLS

#endif
