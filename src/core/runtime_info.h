// The process-wide run-time information block. The first engine copy loaded
// into a process creates it in its own data and publishes its address in
// named shared memory (guarded by a named mutex, both named after the
// process id); later copies in the same process find it there and share it,
// so they share one at-exit list.
#pragma once

#include <cstdint>

#include "kez/runtime.h"

namespace kez::core {

// Start-up step (with KezDebugInitialize): 0 or 91.
int CdbSynchronizeInitialize();
void CdbSynchronizeCleanup();

// Names of the named objects for this process.
void runtime_info_mutex_name(char *buf, unsigned size);
void runtime_info_shm_name(char *buf, unsigned size);

// Number of entries of the at-exit list, and the i-th from the head (tests).
int at_exit_count();
KezAtExitCleanup at_exit_entry(int index);

}  // namespace kez::core
