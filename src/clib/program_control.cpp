// Ending the program from the C library (abort, failed assertions, raised
// signals) and running commands (system).
#include <cstdio>
#include <cstring>
#include <mutex>

#include "clib/clib_exports.h"
#include "clib/clib_library.h"
#include "clib/stream.h"
#include "core/frame.h"
#include "os/os.h"

namespace kez::clib {

// The abnormal exit of the C library ends the whole process with `code`,
// not only the calling thread: a program whose worker thread aborts must
// not keep running without it. What the streams hold is written out first
// where a stream can be had at once.
void end_program_abnormally(unsigned code) {
    core::engine().abnormal_exit.store(true);
    core::reboot_real_time_target();
    flush_streams_at_exit();
    os::process_exit_now(code);
}

}  // namespace kez::clib

namespace {

std::mutex g_system_lock;

void report_assertion(const char *text) {
    kez::clib::Stream *err = kez::clib::stream_table()[2];
    kez::clib::StreamLock s(err);
    if (s) kez::clib::write_locked(s.get(), text, std::strlen(text));
}

}  // namespace

extern "C" void kez_abort(void) {
    kez_raise(3);
    kez::clib::end_program_abnormally(1);
}

extern "C" void _assert(const char *expression, const char *file, int line) {
    char text[1024];
    std::snprintf(text, sizeof text, "Assertion failed: %s, file \"%s\", line %d\n", expression ? expression : "",
                  file ? file : "", line);
    report_assertion(text);
    kez_abort();
}

extern "C" void _assert_func(const char *expression, const char *file, const char *function, int line) {
    char text[1024];
    std::snprintf(text, sizeof text, "Assertion failed: %s, function \"%s\", file \"%s\", line %d\n",
                  expression ? expression : "", function ? function : "", file ? file : "", line);
    report_assertion(text);
    kez_abort();
}

extern "C" int kez_system(const char *command) {
    if (command == nullptr) return 1;
    std::lock_guard<std::mutex> hold(g_system_lock);
    int code = -1;
    if (!kez::os::command_run(command, &code)) {
        kez::clib::set_errno(kez::clib::kENOENT);
        return -1;
    }
    return code;
}
