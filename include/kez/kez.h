/* Umbrella header: every library of the engine but its C library. The C
   library's header, kez/ansi_c.h, takes the place of the host's C headers
   (stdio.h, stdlib.h, ...): a source includes one or the other. */
#ifndef KEZ_KEZ_H
#define KEZ_KEZ_H

#include "kez/absolute_time.h"
#include "kez/formatio.h"
#include "kez/logging.h"
#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "kez/tcp.h"
#include "kez/udp.h"
#include "kez/rs232.h"
#include "kez/utility.h"

#endif
