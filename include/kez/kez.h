/* Umbrella header: every library of the engine. */
#ifndef KEZ_KEZ_H
#define KEZ_KEZ_H

#include "kez/ansi_c.h"
#include "kez/logging.h"
#include "kez/multithreading.h"
#include "kez/runtime.h"

#endif
