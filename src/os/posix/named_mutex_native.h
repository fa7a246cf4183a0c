// The pthread mutex inside a named mutex's shared block, for the user-lock
// object that shares the mapping.
#pragma once

#include <pthread.h>

#include "os/os.h"

namespace kez::os {
pthread_mutex_t *named_mutex_native(NamedMutex *m);
}  // namespace kez::os
