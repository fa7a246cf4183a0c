// The multithreading library's internal pieces shared by its files.
#pragma once

#include <cstdint>

namespace kez::mt {

// The utility and multithreading libraries' per-thread record.
struct UtilityThreadBlock {
    std::uint32_t last_system_error;
    void *pool_exit_point;  // where KmtExitThreadPoolThread returns to
};

// The calling thread's record, created on first use; null without memory.
UtilityThreadBlock *utility_block();

// Start-up and clean-up of the utility library's process state.
int UtilityLibraryInitOnce();
void UtilityLibraryUninit();

// Stores the system's last error for KmtGetErrorMessage; false (the caller
// then returns -14905) when the thread has no record.
bool SetKmtSystemErrorCode(std::uint32_t code);
// Stores the current system error and gives -14910 (or -14905).
int system_error_result();

// Every library function passes its result through this before returning.
int KezErrToKmtErr(int code);

// The message function of the _UP_ twins.
const char *GetKmtUserProtErrorString(int code);

}  // namespace kez::mt
