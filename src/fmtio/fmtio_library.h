// The formatting and I/O library's process and per-thread state.
#pragma once

namespace kez::fmtio {

// Start-up and clean-up steps: the per-thread slot; clean-up also closes
// every file the program left open.
int FmtIOLibInitOnce();
void FmtIOLibUninit();

// The calling thread's record: its file error, and what its last Fmt or
// Scan family call left (GetFmtErrNdx, NumFmtdBytes).
struct ThreadState {
    int error;
    int error_index;            // -1: the last call had no format error
    unsigned long long bytes;   // formatted or consumed by the last call
};

// The calling thread's record, made on first use; null when no memory can
// be had for it (the calls then fail and touch nothing).
ThreadState *thread_state();

// The calling thread's error code (GetFmtIOError).
void set_error(int code);
int last_error();

// The message of an error code; "Unknown error number" for other codes.
const char *error_message(int code);

// The message function of the file functions' _UP_ twins: the text of the
// calling thread's error.
const char *GetFmtIOTwinMessage(int result);

}  // namespace kez::fmtio
