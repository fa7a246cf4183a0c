// The debug environment of each thread: the settings that decide whether
// library and protection errors break into the debugger, and the state
// run-time error reporting keeps per thread. Each thread's record is
// created on first use under the environment's own thread-local-storage
// index and freed when the thread ends; without the index or without
// memory a process-wide record stands in.
#pragma once

namespace kez::debug {

struct ThreadEnvironment {
    int break_on_library_errors;
    int break_on_protection_errors;
    int break_on_first_chance_exceptions;
    int in_conditional_breakpoint;
    // The inverse of the last flag given to the library-error setter, stored
    // whatever the debugging level.
    int library_errors_inverse;
    const void *last_library_function;
};

// A new environment breaks on library and protection errors (a program built
// for debugging stops where it fails) and not on first-chance exceptions.
constexpr ThreadEnvironment kInitialThreadEnvironment{1, 1, 0, 0, 0, nullptr};

// The calling thread's environment (or the process-wide stand-in).
ThreadEnvironment &thread_environment();

// Start-up step: the index (failure is not fatal: the stand-in serves).
int ThreadEnvironmentInit();
// Clean-up: frees the calling thread's environment and the index.
void ThreadEnvironmentUninit();
// Thread end: frees the ending thread's environment.
void ThreadEnvironmentRelease();

}  // namespace kez::debug
