// The multithreading library's internal pieces shared by its files.
#pragma once

#include <cstdint>

namespace kez::mt {

struct TlvThreadValues;

// The utility and multithreading libraries' per-thread record.
struct UtilityThreadBlock {
    std::uint32_t last_system_error;
    void *pool_exit_point;          // the pool thread whose function runs, for KmtExitThreadPoolThread
    TlvThreadValues *tlv_values;    // this thread's thread-local values, or null
    char date_string[11];           // DateStr's "MM-DD-YYYY"
    char time_string[9];            // TimeStr's "HH:MM:SS"
};

// The calling thread's record, created on first use; null without memory.
UtilityThreadBlock *utility_block();
// The calling thread's record if it has one; never creates it.
UtilityThreadBlock *utility_block_if_any();

// Start-up and clean-up of the utility library's process state.
int UtilityLibraryInitOnce();
void UtilityLibraryUninit();
// At process detach, before the clean-up steps: frees every lock, thread-safe
// and thread-local variable the program left behind, without callbacks.
void UtilityLibraryUninitKmtResources();
// Thread end: the ending thread's thread-local values.
void ReleaseThreadLocalVars();

// Each piece's process state (locks.cpp, tsv.cpp, tlv.cpp).
int UserLockManagerInit();
void UserLockManagerUninit();
int TsvInit();
void TsvUninit();
int TlvInit();
void TlvUninit();
int TsqInit();  // tsq.cpp
void TsqUninit();
int ThreadPoolInit();  // thread_pool.cpp
void ThreadPoolUninit();

// Stores the system's last error for KmtGetErrorMessage; false (the caller
// then returns -14905) when the thread has no record.
bool SetKmtSystemErrorCode(std::uint32_t code);
// Stores the current system error and gives -14910 (or -14905).
int system_error_result();

// Every library function passes its result through this before returning.
int KezErrToKmtErr(int code);

// KezErrToKmtErr, and an error logged as "Err = %d" under `function`.
int kmt_error_result(int code, const char *function);
inline int kmt_result(int code, const char *function) { return code >= 0 ? code : kmt_error_result(code, function); }
#define KMT_RESULT(code) ::kez::mt::kmt_result((code), __func__)

// An address as resource descriptions print it ("0x%016llX").
inline unsigned long long resource_address(const void *p) {
    return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p));
}

// The tail of a hand-written _UP_ twin (functions with variable arguments,
// which the export table cannot forward): reports a negative result as a
// library error of `function` and gives it back.
int kmt_twin_result(const char *function, int result);

// "Multithreading", the resource-tracking category of the library's objects;
// describes and registers one when tracking is on.
void track_resource(const void *resource, const char *format, ...);
void untrack_resource(const void *resource);

// The message function of the _UP_ twins.
const char *GetKmtUserProtErrorString(int code);

}  // namespace kez::mt
