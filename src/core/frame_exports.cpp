// Status queries of the frame and the abnormal-exit path.
#include <cstdint>

#include "core/frame.h"
#include "kez/runtime.h"
#include "os/os.h"

namespace kez::core {

EngineState &engine() {
    static EngineState state;
    return state;
}

using RebootSystemFn = void (*)();

void reboot_real_time_target() {
    // Only on a real-time target, whose support library is then loaded.
    if (os::Module emb = os::module_if_loaded("qx_emb.dll")) {
        if (auto reboot = reinterpret_cast<RebootSystemFn>(os::module_symbol(emb, "RebootSystem"))) reboot();
    }
}

namespace {

void reboot_target(void *exit_code) {
    reboot_real_time_target();
    // This thread may be the last one of the process; it ends with the same
    // code so the process's exit code does not depend on which ends first.
    os::thread_exit_current(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(exit_code)));
}

}  // namespace

}  // namespace kez::core

using namespace kez::core;

static int engine_still_loaded() { return 1; }

extern "C" int __IsRTEStillLoaded(void) { return engine_still_loaded(); }
extern "C" int InStandaloneExecutable(void) { return engine_still_loaded(); }
extern "C" int WhichRuntimeSupportDll(void) { return 2; }

extern "C" int StartupLibraryInit(void) {
    engine().shutting_down.store(false);
    engine().startup_library.store(true);
    return 0;
}

extern "C" void StartupLibraryCleanup(void) {
    engine().shutting_down.store(true);
    engine().startup_library.store(false);
}

extern "C" int __SimulateRTShuttingDown(void) { return engine().shutting_down.load() ? 1 : 0; }

extern "C" void KezRTDllAbnormalExit(unsigned int exitCode) {
    engine().abnormal_exit.store(true);
    // Closing the remote-debugging sockets under their lock joins here with
    // the remote debugging transport.
    kez::os::thread_start_detached(reboot_target, reinterpret_cast<void *>(static_cast<std::uintptr_t>(exitCode)));
    kez::os::thread_exit_current(exitCode);
}
