// The engine's load, start-up chain, clean-up, unload and thread end.
//
// Load runs as an application start inside the load notification:
// DllMain -> InitRTDll -> WInitRTDll -> WinMain -> WInitApp, WMain. Every
// stage logs its lines under the stage's name. The first failing step stops
// the chain; the clean-up then undoes exactly the steps that completed, on
// every failure path, so a refused load leaks nothing.
#include <cstdio>
#include <cstring>

#include "core/deferred_calls.h"
#include "core/frame.h"
#include "core/startup_steps.h"
#include "core/thread_var.h"
#include "kez/runtime.h"
#include "os/fault.h"
#include "os/os.h"
#include "log/log.h"

namespace kez::core {
namespace {

using log::kDllMain;
using log::kInfo;
using log::kTrace;

constexpr int kMaxSteps = 64;
static_assert(kMaxSteps >= 32, "step bookkeeping too small");

bool g_step_done[kMaxSteps];
bool g_app_stage_ran = false;
bool g_cross_library_slot_taken = false;
bool g_exit_hook_installed = false;
char g_detached_shmem_name[160];
char g_product_short_name[8];  // length-prefixed "kez"

int step_index(const char *name) {
    for (int i = 0; i < kInitStepCount; ++i)
        if (std::strcmp(kInitSteps[i].name, name) == 0) return i;
    return -1;
}

// Runs one stage's steps in table order; returns 0 or the start-up error.
int run_stage(Stage stage, const char *stage_name) {
    for (int i = 0; i < kInitStepCount; ++i) {
        const InitStep &step = kInitSteps[i];
        if (step.stage != stage) continue;
        int rc = 0;
        if (fault::hit(step.name))
            rc = step.error != 0 ? step.error : 1;
        else if (step.init != nullptr)
            rc = step.init();
        if (rc != 0 && !step.failure_ignored) return step.error != 0 ? step.error : rc;
        g_step_done[i] = rc == 0;
        if (step.log_after != nullptr) KEZ_LOG_AS(kTrace, stage_name, "%s", step.log_after);
    }
    return 0;
}

int WInitApp() {
    g_app_stage_ran = true;
    const int rc = run_stage(Stage::app, "WInitApp");
    KEZ_LOG_AS(kTrace, "WInitApp", "Returning %d.", rc);
    return rc;
}

int WMain() {
    KEZ_LOG_AS(kTrace, "WMain", "ENTER");
    const int rc = run_stage(Stage::main, "WMain");
    KEZ_LOG_AS(kTrace, "WMain", "Cleanup code: error = %d", rc);
    KEZ_LOG_AS(kTrace, "WMain", "Returning %d", rc);
    return rc;
}

// Splits a command line: blanks separate arguments; an argument that begins
// with a double quote runs to the next double quote, both quotes dropped.
// The engine runs inside a library and is always given an empty line.
int ParseCommandLine(const char *line) {
    int count = 0;
    const char *p = line;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        ++count;
        if (*p == '"') {
            ++p;
            while (*p != '\0' && *p != '"') ++p;
            if (*p == '"') ++p;
        } else {
            while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
        }
    }
    return count;
}

int WinMain(os::Module instance, os::Module previous, const char *command_line, int cmd_show) {
    EngineState &e = engine();
    if (fault::hit("SetCurrentPlatform") || !os::os_version(&e.os_major, &e.os_minor)) return 0;
    e.platform_known = true;
    KEZ_LOG_AS(kTrace, "WinMain", "SetCurrentPlatform returned");

    e.cmd_show = cmd_show;
    e.no_previous_instance = previous == nullptr;
    g_product_short_name[0] = 3;
    std::memcpy(g_product_short_name + 1, "kez", 3);
    KEZ_LOG_AS(kTrace, "WinMain", "CToPStr returned");
    KEZ_LOG_AS(kInfo, "WinMain", "WinMain hInstance=0x%p hPrevInstance=0x%p nCmdShow=0x%x", instance, previous,
               static_cast<unsigned>(cmd_show));
    ParseCommandLine(command_line);
    KEZ_LOG_AS(kTrace, "WinMain", "ParseCommandLine returned");

    int exit_code = WInitApp();
    KEZ_LOG_AS(kTrace, "WinMain", "WInitApp returned");
    if (exit_code == 0) {
        exit_code = WMain();
        KEZ_LOG_AS(kTrace, "WinMain", "WMain returned");
    }
    const int result = exit_code == 0 ? 1 : 0;
    KEZ_LOG_AS(kTrace, "WinMain", "Returning %d (exitCode = %d)", result, exit_code);
    log::flush_after_startup();
    return result;
}

bool WInitRTDll() {
    EngineState &e = engine();
    e.main_module = fault::hit("GetModuleHandle") ? nullptr : os::module_main();
    KEZ_LOG_AS(kTrace, "WInitRTDll", "GetModuleHandle returned %p", e.main_module);
    bool ok = false;
    if (e.main_module != nullptr) {
        const int show = os::startup_show_window();
        KEZ_LOG_AS(kTrace, "WInitRTDll", "GetStartupInfo returned");
        KEZ_LOG_AS(kTrace, "WInitRTDll", "Calling WinMain");
        ok = WinMain(e.main_module, nullptr, "", show >= 0 ? show : 10) != 0;
        if (ok) KEZ_LOG_AS(kTrace, "WInitRTDll", "WinMain returned");
    }
    KEZ_LOG_AS(kTrace, "WInitRTDll", "Cleanup code: returning %s", ok ? "success" : "FAILURE");
    return ok;
}

bool InitRTDll() {
    const bool ok = WInitRTDll();
    KEZ_LOG_AS(kTrace, "InitRTDll", "WInitRTDll returned.");
    return ok;
}

void CloseRTDll() {
    bool exit_line_written = false;
    for (int i = 0; i < kCleanupStepCount; ++i) {
        const CleanupStep &step = kCleanupSteps[i];
        if (step.app_exit && g_app_stage_ran && !exit_line_written) {
            KEZ_LOG_AS(kInfo, "CloseRTDll", "exiting app ");
            exit_line_written = true;
        }
        const int index = step_index(step.after);
        if (index < 0 || !g_step_done[index]) continue;
        g_step_done[index] = false;
        if (step.cleanup != nullptr) step.cleanup();
    }
    g_app_stage_ran = false;
    if (g_cross_library_slot_taken) FreeCrossLibraryThreadVarSlots();
    g_cross_library_slot_taken = false;
    engine().closed.store(true);
}

bool fail_load() {
    CloseRTDll();
    engine().load_state.store(LoadState::failed);
    KEZ_LOG_AS(kDllMain, "DllMain", "Returning %d", 0);
    return false;
}

void thread_end() {
    KEZ_LOG_AS(kDllMain, "DllMain", "DLL_THREAD_DETACH: thread %d", static_cast<int>(os::current_thread_id()));
    for (int i = 0; i < kThreadEndStepCount; ++i)
        if (kThreadEndSteps[i].run != nullptr) kThreadEndSteps[i].run();
    if (has_thread_block()) free_calling_thread_block();
}

}  // namespace

bool on_process_attach(os::Module self) {
    EngineState &e = engine();
    e.self = self;
    e.load_state.store(LoadState::attaching);
    e.closed.store(false);
    e.process_detaching.store(false);
    log::open_test_tap();  // first, so that injected faults cannot silence it
    fault::arm_from_environment();
    // Entry-point notifications to the debugger's support library join here
    // with the debugger link.
    log::configure_once();
    KEZ_LOG_AS(kDllMain, "DllMain", "DLL_PROCESS_ATTACH");

    // Thread end reaches the engine through this hook; without it per-thread
    // state could never be freed.
    if (!os::thread_exit_hook_install(thread_end)) return fail_load();
    g_exit_hook_installed = true;

    if (fault::hit("AllocCrossLibraryThreadVarSlots") || !AllocCrossLibraryThreadVarSlots()) return fail_load();
    g_cross_library_slot_taken = true;
    KEZ_LOG_AS(kTrace, "DllMain", "AllocCrossLibraryThreadVarSlots returned");

    if (!InitRTDll()) return fail_load();
    KEZ_LOG_AS(kTrace, "DllMain", "InitRTDll returned");

    std::snprintf(g_detached_shmem_name, sizeof g_detached_shmem_name, "%s, %d",
                  "Brennick Kez Shmen for KezRTEHasBeenDetached for KezDvRt",
                  static_cast<int>(os::current_process_id()));
    KEZ_LOG_AS(kTrace, "DllMain", "SetupKezRTEHasBeenDetachedShmem returned");

    // The basic type descriptors of user protection are built here. A
    // failure cleans up like every other failed step.
    if (fault::hit("InitRTEBasicTypes")) return fail_load();
    KEZ_LOG_AS(kTrace, "DllMain", "InitRTEBasicTypes returned");

    e.initialised = true;
    e.load_state.store(LoadState::initialised);
    KEZ_LOG_AS(kDllMain, "DllMain", "Returning %d", 1);
    return true;
}

void on_process_detach(bool process_ending) {
    EngineState &e = engine();
    KEZ_LOG_AS(kDllMain, "DllMain", "DLL_PROCESS_DETACH");
    e.process_detaching.store(true);
    e.process_ending.store(process_ending);
    kStopTimers();
    if (kUninitKmtResources != nullptr) kUninitKmtResources();
    KEZ_LOG_AS(kTrace, "DllMain", "UtilityLibraryUninitKmtResources returned");
    deferred_calls_shutdown();
    if (e.initialised) {
        CloseRTDll();
        KEZ_LOG_AS(kTrace, "DllMain", "CloseRTDll returned");
    }
    e.initialised = false;
    // Nothing in the engine creates the has-been-detached shared memory; its
    // name is simply forgotten.
    g_detached_shmem_name[0] = '\0';
    KEZ_LOG_AS(kTrace, "DllMain", "CleanupKezRTEHasBeenDetachedShmem returned");
    if (g_exit_hook_installed) os::thread_exit_hook_remove();
    g_exit_hook_installed = false;
    clear_run_state_callbacks();
    if (e.load_state.load() != LoadState::failed) e.load_state.store(LoadState::closed);
    log::shutdown();
    log::close_test_tap(true);
}

#if defined(KEZ_TEST_HOOKS)
void run_close_for_tests() {
    if (engine().initialised) CloseRTDll();
    engine().initialised = false;
    engine().load_state.store(LoadState::closed);
}
int parse_command_line_for_tests(const char *line) { return ParseCommandLine(line); }
#endif

}  // namespace kez::core
