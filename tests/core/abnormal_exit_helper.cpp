// Leaves main through the engine's abnormal exit with the code given as the
// first argument, while a module is registered: the exit code must reach
// the parent unchanged. With a second argument "target" it first loads the
// real-time target's support library (a fake, found through
// KEZ_COMPONENT_PATH), whose RebootSystem the abnormal exit must call.
#include <cstdlib>
#include <cstring>

#include "kez/kez.h"
#include "os/os.h"

namespace {
void stop_ignored(int) {}
}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::strcmp(argv[2], "target") == 0 && kez::os::module_load("qx_emb.dll") == nullptr) return 98;
    static int module;
    KezRunStateCallback list[] = {stop_ignored, nullptr};
    InitKezRTDll(&module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, list);
    KezRTDllAbnormalExit(argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1u);
}
