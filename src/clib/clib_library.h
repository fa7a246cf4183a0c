// The C library's process and per-thread state.
#pragma once

namespace kez::clib {

// Start-up and clean-up steps: the per-thread slot.
int StdCLibInitOnce();
void StdCLibUninit();

// The calling thread's errno cell (always a valid address).
int *errno_cell();
inline void set_errno(int value) { *errno_cell() = value; }
// The calling thread's buffer for tmpnam(NULL), 260 bytes.
char *temp_name_buffer();

// The calling thread's result of localtime and gmtime, and its asctime
// buffer (kTimeTextSize bytes). Never null (threads without a record share one).
struct TmFields;
constexpr int kTimeTextSize = 30;
TmFields *time_result();
char *time_text_buffer();

// The calling thread's signal handlers (null: the thread can have no
// record), in the order SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM;
// a new thread's are all the default (null).
using SignalHandler = void (*)(int);
constexpr int kSignalCount = 6;
SignalHandler *signal_table();

// abort, failed assertions and raised signals: ends the process with
// `code` after writing out what the streams hold.
[[noreturn]] void end_program_abnormally(unsigned code);

// The calling thread's rand state: `seeded` false until srand or rand
// first sets `value`. Never null (threads without a record share one).
struct RandState {
    unsigned value;
    bool seeded;
};
RandState *rand_state();
// The calling thread's strtok position (null: no string). Never null.
char **strtok_position();
// The calling thread's _mbstok position (null: no string). Never null.
unsigned char **mbstok_position();

// The engine's errno values.
enum : int {
    kENOENT = 2,
    kEIO = 5,
    kEBADF = 9,
    kENOMEM = 12,
    kEACCES = 13,
    kEEXIST = 17,
    kEINVAL = 22,
    kEMFILE = 24,
    kENOSPC = 28,
    kEDOM = 33,
    kERANGE = 34,
    kENAMETOOLONG = 35,
    kEILSEQ = 42,
};

// The name of an errno value ("ENOENT"), or null for a value without one.
const char *errno_name(int value);
// The _UP_ twins' report of a failed call: the value it returned, and as
// elaboration "(<errno name>) <strerror text>" (the text alone when the
// value has no name).
void report_twin_failure(const char *function, int value);

// The errno value of a file library error code (os::FileError).
int errno_of_file_error(int file_error);

// open's flag bits.
enum : int {
    kAccessMask = 3,
    kWriteOnly = 1,
    kReadWrite = 2,
    kAppend = 4,
    kCreate = 8,
    kTruncate = 16,
    kBinary = 32,
    kText = 64,
    kExclusive = 128,
    kTemporary = 0x100,
    kRandom = 0x200,
    kSequential = 0x400,
};

// open/sopen: a new handle, or -1 with errno set. `share_mode` as sopen's;
// `track`: register the handle with resource tracking.
int open_handle(const char *path, int oflag, int share_mode, int pmode, bool track);

}  // namespace kez::clib
