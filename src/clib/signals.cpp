// signal and raise: each thread has its own table of handlers, copied from
// the library's template on the thread's first use. Only raised signals are
// handled; signals the system delivers keep the system's handling.
#include "clib/clib_exports.h"
#include "clib/clib_library.h"

namespace kez::clib {
namespace {

const SignalHandler kDefault = nullptr;
const SignalHandler kIgnore = reinterpret_cast<SignalHandler>(1);
const SignalHandler kError = reinterpret_cast<SignalHandler>(-1);

// The template: SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM, each
// ending the program by default.
constexpr int kSignals[kSignalCount] = {3, 4, 2, 1, 5, 6};

int index_of(int sig) {
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig) return i;
    return -1;
}

// The calling thread's handlers; a shared table when the thread can have
// no record.
SignalHandler *handlers() {
    static SignalHandler shared[kSignalCount];
    SignalHandler *table = signal_table();
    return table != nullptr ? table : shared;
}

}  // namespace
}  // namespace kez::clib

using namespace kez::clib;

extern "C" KezSignalHandler kez_signal(int sig, KezSignalHandler handler) {
    const int i = index_of(sig);
    if (i < 0) {
        set_errno(kEINVAL);
        return kError;
    }
    SignalHandler *table = handlers();
    const SignalHandler old = table[i];
    table[i] = handler;
    return old;
}

extern "C" int kez_raise(int sig) {
    const int i = index_of(sig);
    if (i < 0) return -1;
    SignalHandler *table = handlers();
    const SignalHandler handler = table[i];
    if (handler == kIgnore) return 0;
    if (handler == kDefault) end_program_abnormally(1);
    table[i] = kDefault;
    handler(sig);
    return 0;
}
