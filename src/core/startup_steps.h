// The ordered tables of the start-up chain. Each library plugs its init-once
// step and its clean-up into these tables (startup_steps.cpp) and nowhere
// else; the runner (startup.cpp) logs each step, stops at the first failure
// and cleans up exactly the steps that completed, in the clean-up order.
#pragma once

namespace kez::core {

enum class Stage {
    app,   // engine services, run by WInitApp
    main,  // user-visible libraries, run by WMain
};

struct InitStep {
    const char *name;       // the step's identity and its fault point
    Stage stage;
    int (*init)();          // 0 on success; null while the library is not part of the engine yet
    int error;              // the start-up error when init fails; 0: init's own result is the error
    const char *log_after;  // logged at TRACE after the step succeeded; null: no line
    bool failure_ignored;   // a failure is logged but does not stop the chain
};

struct CleanupStep {
    const char *after;  // name of the init step whose success this clean-up undoes
    void (*cleanup)();  // null while the library is not part of the engine yet
    bool app_exit;      // part of WExitApp (runs after its "exiting app " line)
};

// Work done on a thread that ends, before its thread variables are freed.
struct ThreadEndStep {
    const char *name;
    void (*run)();
};

// A library's event poller, run by ProcessSystemEvents on the calling
// thread: 0, or a negative status. Null while the library is not part of
// the engine yet.
struct EventPoller {
    const char *name;
    int (*poll)();
};

extern const InitStep kInitSteps[];
extern const int kInitStepCount;
extern const CleanupStep kCleanupSteps[];
extern const int kCleanupStepCount;
extern const ThreadEndStep kThreadEndSteps[];
extern const int kThreadEndStepCount;
// In the order ProcessSystemEvents runs them: the communication libraries'
// events, then the thread's deferred calls.
extern const EventPoller kEventPollers[];
extern const int kEventPollerCount;

// Releases the multithreading library's process state at process detach,
// before CloseRTDll; null until that library exists.
extern void (*const kUninitKmtResources)();
// Stops every timer of the timer engine at process detach, first of all.
extern void (*const kStopTimers)();

}  // namespace kez::core
