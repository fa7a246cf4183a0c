// Where each library plugs into start-up, clean-up and thread end. A null
// function marks a library that is not part of the engine yet: its step is
// still logged so the sequence keeps its shape.
#include "core/startup_steps.h"

#include "clib/calendar.h"
#include "clib/clib_library.h"
#include "comm/rs232_library.h"
#include "comm/tcp_steps.h"
#include "comm/udp_library.h"
#include "core/deferred_calls.h"
#include "core/frame.h"
#include "core/handle_memory.h"
#include "core/heap.h"
#include "core/runtime_info.h"
#include "core/thread_var.h"
#include "core/time_base.h"
#include "debug/thread_environment.h"
#include "fmtio/fmtio_library.h"
#include "kez/runtime.h"
#include "mt/thread_util.h"
#include "os/os.h"
#include "os/socket.h"
#include "log/log.h"
#include "util/timer_engine.h"

namespace kez::core {
namespace {

int ConfigureKezLoggerOnce() {
    log::configure_once();
    return 0;
}

int PXInitMainThreadId() {
    engine().main_thread_id = os::current_thread_id();
    return 0;
}

int InitializeCodePage() {
    engine().code_page_multibyte = os::code_page_is_multibyte();
    return 0;
}

// The run-time information block, then the debug module's identity.
int CdbSynchronizeAndKezDebugInitialize() {
    if (CdbSynchronizeInitialize() != 0) return 91;
    EngineState &e = engine();
    if (!os::module_file_name(e.main_module, e.main_module_file, sizeof e.main_module_file))
        e.main_module_file[0] = '\0';
    return 0;
}

// The execution slot holds jump targets that live on their threads'
// stacks: nothing to free at thread end.
int InitExecutionThreadVars() {
    int slot = 0;
    if (!alloc_thread_var_slot(&slot, nullptr)) return -103;
    set_execution_slot(slot);
    return 0;
}

// The last user of the socket binding releases it: the UDP library's
// clean-up runs after the TCP library's.
void CloseUDPLibraryAndSockets() {
    comm::udp::UDPLibraryUnload();
    os::net::unload();
}

void ReleaseExecutionThreadVars() {
    if (execution_slot() != 0) UninitializeKezThreadVar(execution_slot());
    set_execution_slot(0);
}

}  // namespace

const InitStep kInitSteps[] = {
    // WInitApp: engine services. Steps that cannot fail in practice report 91
    // when a test forces them to.
    {"ConfigureKezLoggerOnce", Stage::app, ConfigureKezLoggerOnce, 91, "ConfigureKezLoggerOnce returned", false},
    {"PXInitMainThreadId", Stage::app, PXInitMainThreadId, 91, "PXInitMainThreadId returned", false},
    {"SetUpMemory", Stage::app, SetUpMemory, 0, "SetUpMemory returned", false},
    {"InitializeCodePage", Stage::app, InitializeCodePage, 91, "InitializeCodePage returned", false},
    {"InitSupport", Stage::app, nullptr, 91, "InitSupport returned", false},
    {"InstallListMemoryFunctions", Stage::app, InstallListMemoryFunctions, 91, nullptr, false},
    {"TcpIpInitialize", Stage::app, nullptr, 91, "TcpIpInitialize returned", false},
    {"KezDebugInitialize", Stage::app, CdbSynchronizeAndKezDebugInitialize, 91, "KezDebugInitialize returned", false},
    {"CdbInitialize", Stage::app, debug::ThreadEnvironmentInit, 91, "CdbInitialize returned", false},
    {"SetupPCTimer", Stage::app, SetupPCTimer, 91, "SetupPCTimer returned. Changed timer resolution.", false},
    {"InitAsyncAndMTProtection", Stage::app, InitAsyncAndMTProtection, 91, "InitAsyncAndMTProtection returned", false},
    {"GetTimeOptions", Stage::app, clib::GetTimeOptions, 2, "GetTimeOptions/GetDateOptions returned.", false},
    // WMain: user-visible libraries.
    {"InitTimeLib", Stage::main, clib::InitTimeLib, -102, "InitTimeLib returned", false},
    {"StdCLibInitOnce", Stage::main, clib::StdCLibInitOnce, -103, "StdCLibInitOnce returned", false},
    {"InitExecutionThreadVars", Stage::main, InitExecutionThreadVars, -103, "InitExecutionThreadVars returned", false},
    {"FmtIOLibInitOnce", Stage::main, fmtio::FmtIOLibInitOnce, -103, "FmtIOLibInitOnce returned", false},
    {"UtilityLibraryInitOnce", Stage::main, mt::UtilityLibraryInitOnce, -103, "UtilityLibraryInitOnce returned", false},
    {"RegisterUtilityLibraryRunStateChangeCallback", Stage::main, nullptr, -103,
     "RegisterUtilityLibraryRunStateChangeCallback returned", false},
    {"TCPLibraryInitOnce", Stage::main, comm::tcp::TCPLibraryInitOnce, -103, nullptr, false},
    // The UDP library starts at its first use; the step marks where its
    // clean-up belongs.
    {"UDPLibraryInitOnce", Stage::main, nullptr, -103, nullptr, false},
    {"PXRS232Initialize", Stage::main, comm::rs232::PXRS232Initialize, -103, "PXRS232Initialize returned", true},
};
const int kInitStepCount = sizeof kInitSteps / sizeof kInitSteps[0];

const CleanupStep kCleanupSteps[] = {
    // WMain's clean-up.
    {"InitExecutionThreadVars", ReleaseExecutionThreadVars, false},
    {"StdCLibInitOnce", clib::StdCLibUninit, false},
    {"InitTimeLib", clib::TimeLibUninit, false},
    {"UtilityLibraryInitOnce", mt::UtilityLibraryUninit, false},
    {"FmtIOLibInitOnce", fmtio::FmtIOLibUninit, false},
    // WExitApp.
    {"SetupPCTimer", RestorePCTimer, true},
    {"CdbInitialize", debug::ThreadEnvironmentUninit, true},
    {"KezDebugInitialize", CdbSynchronizeCleanup, true},
    {"TcpIpInitialize", nullptr, true},
    {"TCPLibraryInitOnce", comm::tcp::TCPLibraryUninit, true},
    // The UDP library starts at its first use; its clean-up closes every
    // channel's socket and frees every record.
    {"UDPLibraryInitOnce", CloseUDPLibraryAndSockets, true},
    {"PXRS232Initialize", comm::rs232::PXRS232Uninitialize, true},
    // The rest of the engine services.
    {"InitAsyncAndMTProtection", UninitAsyncAndMTProtection, false},
    {"SetUpMemory", CleanUpMemory, false},
};
const int kCleanupStepCount = sizeof kCleanupSteps / sizeof kCleanupSteps[0];

// Thread-local variables (multithreading), the deferred-call queue and the
// debugger link join here; the thread's thread variables are freed after.
const ThreadEndStep kThreadEndSteps[] = {
    {"ReleaseThreadLocalVars", mt::ReleaseThreadLocalVars},
    {"DropDeferredCalls", DropDeferredCalls},
    {"DebuggerThreadEnd", debug::ThreadEnvironmentRelease},
};
const int kThreadEndStepCount = sizeof kThreadEndSteps / sizeof kThreadEndSteps[0];

const EventPoller kEventPollers[] = {
    {"ProcessTCPEvents", comm::tcp::PollTCPEvents},
    {"ProcessUDPEvents", comm::udp::ProcessUDPEvents},
    {"ProcessRS232Events", comm::rs232::ProcessRS232Events},
    {"RunDeferredCalls", run_deferred_calls},
};
const int kEventPollerCount = sizeof kEventPollers / sizeof kEventPollers[0];

void (*const kUninitKmtResources)() = mt::UtilityLibraryUninitKmtResources;
void (*const kStopTimers)() = util::KezUSTEUnload;

}  // namespace kez::core
