/* The engine's C library: the POSIX-style handles under their usual header. */
#ifndef KEZ_C_UNISTD_H
#define KEZ_C_UNISTD_H

#include "io.h"

#endif
