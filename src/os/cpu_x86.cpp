// x87 control word access; the same on every x86-64 system the engine runs on.
#include <cstdint>

#include "os/os.h"

namespace kez::os {

std::uint16_t x87_control_word() {
    std::uint16_t cw = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw));
    return cw;
}

void mask_x87_exceptions() {
    std::uint16_t cw = x87_control_word();
    cw = static_cast<std::uint16_t>(cw | 0x3Fu);
    __asm__ __volatile__("fldcw %0" : : "m"(cw));
}

}  // namespace kez::os
