#include "clib/clib_library.h"

#include "clib/clib_exports.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clib/calendar.h"
#include "clib/stream.h"
#include "core/frame.h"
#include "core/thread_var.h"
#include "kez/runtime.h"
#include "os/file.h"
#include "log/log_writers.h"

namespace kez::clib {
namespace {

struct ThreadState {
    int errno_value;
    char temp_name[260];  // tmpnam(NULL)
    RandState rand;
    char *strtok_next;
    unsigned char *mbstok_next;
    SignalHandler signal_handlers[kSignalCount];
    TmFields time_result;  // localtime and gmtime
    char time_text[kTimeTextSize];  // asctime and ctime
};

int g_slot = 0;
// The errno of threads that can have no record (no memory): one shared
// cell rather than a null address.
int g_errno_without_record = 0;
char g_temp_name_without_record[260];
RandState g_rand_without_record;
char *g_strtok_without_record;
unsigned char *g_mbstok_without_record;
TmFields g_time_result_without_record;
char g_time_text_without_record[kTimeTextSize];

void free_state(void *state) { std::free(state); }

// The logger's standard-output and standard-error lines go through the
// standard streams, in order with the program's own output.
bool write_log_line(int handle, const char *text) {
    StreamLock s(stream_table()[handle]);
    if (!s) return false;
    const std::size_t n = std::strlen(text);
    return write_locked(s.get(), text, n) == n;
}

}  // namespace

int StdCLibInitOnce() {
    if (!core::alloc_thread_var_slot(&g_slot, free_state)) return -103;
    init_standard_streams();
    log::set_console_write(write_log_line);
    return 0;
}

void StdCLibUninit() {
    log::set_console_write(nullptr);
    close_all_streams();
    if (g_slot != 0) UninitializeKezThreadVar(g_slot);
    g_slot = 0;
}

namespace {
ThreadState *thread_state() {
    if (g_slot == 0) return nullptr;
    return static_cast<ThreadState *>(core::thread_record(g_slot, sizeof(ThreadState), nullptr));
}
}  // namespace

int *errno_cell() {
    ThreadState *s = thread_state();
    return s != nullptr ? &s->errno_value : &g_errno_without_record;
}

SignalHandler *signal_table() {
    ThreadState *s = thread_state();
    return s != nullptr ? s->signal_handlers : nullptr;
}

RandState *rand_state() {
    ThreadState *s = thread_state();
    return s != nullptr ? &s->rand : &g_rand_without_record;
}

char **strtok_position() {
    ThreadState *s = thread_state();
    return s != nullptr ? &s->strtok_next : &g_strtok_without_record;
}

unsigned char **mbstok_position() {
    ThreadState *s = thread_state();
    return s != nullptr ? &s->mbstok_next : &g_mbstok_without_record;
}

TmFields *time_result() {
    ThreadState *s = thread_state();
    return s != nullptr ? &s->time_result : &g_time_result_without_record;
}

char *time_text_buffer() {
    ThreadState *s = thread_state();
    return s != nullptr ? s->time_text : g_time_text_without_record;
}

char *temp_name_buffer() {
    ThreadState *s = thread_state();
    return s != nullptr ? s->temp_name : g_temp_name_without_record;
}

int errno_of_file_error(int file_error) {
    switch (file_error) {
    case os::kFileOk: return 0;
    case os::kFileNotFound: return kENOENT;
    case os::kFileBadHandle: return kEBADF;
    case os::kFileNoMemory: return kENOMEM;
    case os::kFileExists: return kEEXIST;
    case os::kFileAccessDenied: return kEACCES;
    case os::kFileInvalidArgument: return kEINVAL;
    case os::kFileTooManyOpen: return kEMFILE;
    case os::kFileDiskFull: return kENOSPC;
    case os::kFileNameTooLong: return kENAMETOOLONG;
    default: return kEIO;
    }
}

const char *errno_name(int value) {
    switch (value) {
    case kENOENT: return "ENOENT";
    case kEIO: return "EIO";
    case kEBADF: return "EBADF";
    case kENOMEM: return "ENOMEM";
    case kEACCES: return "EACCES";
    case kEEXIST: return "EEXIST";
    case kEINVAL: return "EINVAL";
    case kEMFILE: return "EMFILE";
    case kENOSPC: return "ENOSPC";
    case kEDOM: return "EDOM";
    case kERANGE: return "ERANGE";
    case kENAMETOOLONG: return "ENAMETOOLONG";
    case kEILSEQ: return "EILSEQ";
    default: return nullptr;
    }
}

void report_twin_failure(const char *function, int value) {
    const int error = *errno_cell();
    const char *name = errno_name(error);
    char elaboration[128];
    if (name != nullptr)
        std::snprintf(elaboration, sizeof elaboration, "(%s) %s", name, kez_strerror(error));
    else
        std::snprintf(elaboration, sizeof elaboration, "%s", kez_strerror(error));
    core::report_library_error(function, value, elaboration);
}

}  // namespace kez::clib

extern "C" int *_GetErrno(void) { return kez::clib::errno_cell(); }

// strerror's texts: the engine's own, the same on every platform.
extern "C" char *kez_strerror(int errnum) {
    const char *text = "Unknown error number";
    switch (errnum) {
    case 0: text = "No error"; break;
    case 2: text = "No such file or directory"; break;
    case 5: text = "General I/O failure"; break;
    case 9: text = "Bad file handle"; break;
    case 12: text = "Insufficient memory"; break;
    case 13: text = "Access denied"; break;
    case 17: text = "File exists"; break;
    case 22: text = "Invalid argument"; break;
    case 24: text = "Too many open files"; break;
    case 28: text = "No space left of device"; break;
    case 33: text = "Domain error"; break;
    case 34: text = "Range error"; break;
    case 35: text = "File name too long"; break;
    case 42: text = "Illegal byte sequence"; break;
    default: break;
    }
    return const_cast<char *>(text);
}
