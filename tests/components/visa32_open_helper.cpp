// Child of the serial component's tests: opens one port through the
// component in a process of its own. Exit code: the low byte of viOpen's
// status (0 when it opened), 255 when the component could not be loaded.
#include <cstdlib>

#include "kez_visa.h"
#include "os/os.h"

int main(int argc, char **argv) {
    if (argc < 2) return 254;
    kez::os::Module m = kez::os::module_load("visa32.dll");
    if (m == nullptr) return 255;
    auto open_rm = reinterpret_cast<decltype(&viOpenDefaultRM)>(kez::os::module_symbol(m, "viOpenDefaultRM"));
    auto open = reinterpret_cast<decltype(&viOpen)>(kez::os::module_symbol(m, "viOpen"));
    auto close = reinterpret_cast<decltype(&viClose)>(kez::os::module_symbol(m, "viClose"));
    if (open_rm == nullptr || open == nullptr || close == nullptr) return 255;
    ViSession rm = 0, vi = 0;
    if (open_rm(&rm) != VI_SUCCESS) return 253;
    const ViStatus st = open(rm, argv[1], VI_NULL, 0, &vi);
    close(rm);
    return static_cast<int>(static_cast<ViUInt32>(st) & 0xFF);
}
