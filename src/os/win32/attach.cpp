// The engine DLL's entry point. A FALSE return from process attach makes
// LoadLibrary fail; Windows then sends process detach at once.
#include <windows.h>

#include "os/os.h"

namespace kez::os {
void run_thread_exit_hook();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return kez::core::on_process_attach(instance) ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            kez::core::on_process_detach(reserved != nullptr);
            return TRUE;
        case DLL_THREAD_DETACH:
            kez::os::run_thread_exit_hook();
            return TRUE;
        default:
            return TRUE;
    }
}
