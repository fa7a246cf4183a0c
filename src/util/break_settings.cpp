// The break-on-error settings of the calling thread's debug environment.
// The library and protection settings take effect, and are reported, only
// while user protection runs (debugging level 2 or more); the library
// setter records the inverse of what it was given at every level.
#include "core/test_hooks.h"
#include "debug/thread_environment.h"
#include "kez/utility.h"
#include "protect/runtime_error.h"

namespace {

bool protection_on() { return kez::protect::debugging_level() >= kez::protect::kUserProtection; }

// Stores the flag and gives the previous value, when `allowed`; 0 otherwise.
int exchange(int *flag, int new_state, bool allowed) {
    if (!allowed) return 0;
    const int previous = *flag;
    *flag = new_state != 0 ? 1 : 0;
    return previous;
}

}  // namespace

using kez::debug::thread_environment;

extern "C" int SetBreakOnLibraryErrors(int newState) {
    kez::debug::ThreadEnvironment &env = thread_environment();
    env.library_errors_inverse = newState == 0 ? 1 : 0;
    return exchange(&env.break_on_library_errors, newState, protection_on());
}

extern "C" int EnableBreakOnLibraryErrors(void) { return SetBreakOnLibraryErrors(1); }
extern "C" int DisableBreakOnLibraryErrors(void) { return SetBreakOnLibraryErrors(0); }

extern "C" int GetBreakOnLibraryErrors(void) {
    return protection_on() ? thread_environment().break_on_library_errors : 0;
}

extern "C" int SetBreakOnProtectionErrors(int newState) {
    return exchange(&thread_environment().break_on_protection_errors, newState, protection_on());
}

extern "C" int GetBreakOnProtectionErrors(void) {
    return protection_on() ? thread_environment().break_on_protection_errors : 0;
}

extern "C" int SetBreakOnFirstChanceExceptions(int newState) {
    return exchange(&thread_environment().break_on_first_chance_exceptions, newState, true);
}

extern "C" int GetBreakOnFirstChanceExceptions(void) {
    return protection_on() ? thread_environment().break_on_first_chance_exceptions : 0;
}

#if defined(KEZ_TEST_HOOKS)
extern "C" int KezTest_BreakOnLibraryErrorsInverse(void) { return thread_environment().library_errors_inverse; }
#endif
