// Test-only exports (see test_hooks.h).
#if defined(KEZ_TEST_HOOKS)

#include "core/test_hooks.h"

#include <cstdio>
#include <cstdlib>

#include "core/error_codes.h"
#include "core/frame.h"
#include "core/runtime_info.h"
#include "core/thread_var.h"
#include "core/time_base.h"
#include "os/fault.h"
#include "os/os.h"
#include "log/log.h"
#include "log/log_internal.h"

namespace kez::core {
void run_close_for_tests();
int parse_command_line_for_tests(const char *line);
int last_library_error(char *function, int function_size, char *message, int message_size);
}  // namespace kez::core

using namespace kez::core;

namespace {
void free_value(void *v) { std::free(v); }
}  // namespace

extern "C" {

int KezTest_LoadState(void) { return static_cast<int>(engine().load_state.load()); }
void KezTest_ArmFault(const char *point, int count) { kez::fault::arm(point, count); }
void KezTest_ArmFaultEx(const char *point, int count, int skip, unsigned int systemError) {
    kez::fault::arm(point, count, skip, systemError);
}
int KezTest_OpenLogTap(const char *path) { return kez::log::open_test_tap_at(path) ? 1 : 0; }
void KezTest_CloseLogTap(void) { kez::log::close_test_tap(); }

int KezTest_AllocThreadVarSlot(int *slot, int freeValuesWithFree) {
    return alloc_thread_var_slot(slot, freeValuesWithFree != 0 ? free_value : nullptr) ? 1 : 0;
}

int KezTest_HasThreadBlock(void) { return has_thread_block() ? 1 : 0; }
int KezTest_ThreadVarSlotsInUse(void) { return thread_var_slots_in_use(); }
int KezTest_LiveThreadBlocks(void) { return live_thread_blocks(); }
long long KezTest_MilliSecs(void) { return MilliSecs(); }
unsigned long long KezTest_MicroSecs(void) { return MicroSecs(); }
double KezTest_TimerResolution(void) { return timer_resolution(); }
void KezTest_UseHighResolutionCounter(int on) { use_high_resolution_counter(on != 0); }

unsigned long long KezTest_TicksToUnits(unsigned long long ticks, unsigned long long frequency,
                                        unsigned long long perSecond) {
    return ticks_to_units(ticks, frequency, perSecond);
}

int KezTest_RegisterEngineRunStateCallback(KezRunStateCallback callback) {
    return register_run_state_callback(callback) ? 1 : 0;
}

void KezTest_RunCloseRTDll(void) { run_close_for_tests(); }
int KezTest_AtExitCount(void) { return at_exit_count(); }
KezAtExitCleanup KezTest_AtExitEntry(int index) { return at_exit_entry(index); }
const char *KezTest_ErrText(int code) { return err_text(code); }
const char *KezTest_MgErrText(int code) { return mg_err_text(code); }
unsigned int KezTest_X87ControlWord(void) { return kez::os::x87_control_word(); }
unsigned int KezTest_MainThreadId(void) { return engine().main_thread_id; }
unsigned int KezTest_CurrentThreadId(void) { return kez::os::current_thread_id(); }
int KezTest_ParseCommandLine(const char *line) { return parse_command_line_for_tests(line); }

int KezTest_ReturnCode(int code) { return code; }

const char *KezTest_CodeMessage(int code) {
    char *buffer = GetThreadLocalErrorStringBuffer();
    std::snprintf(buffer, 512, "Test code %d.", code);
    return buffer;
}

int KezTest_LastLibraryError(char *function, int functionSize, char *message, int messageSize) {
    return last_library_error(function, functionSize, message, messageSize);
}

void KezTest_SetLogClock(unsigned long long microseconds) { kez::log::set_clock_for_tests(microseconds); }
void KezTest_SetLastTimingHandle(int handle) { kez::log::set_last_timing_handle_for_tests(handle); }
int KezTest_LiveTimingHandles(void) { return kez::log::live_timing_handles_for_tests(); }

}  // extern "C"

#endif
