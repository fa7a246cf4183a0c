// Other processes as the POSIX layer sees them, for objects whose lifetime
// follows the processes that use them.
#pragma once

#include <cstdint>

namespace kez::os {

// Whether the process recorded with (pid, start token) still runs. A zombie
// has ended; a process with the same id but another start token is a
// different one. Start token 0 matches any start.
bool process_alive(std::uint32_t pid, std::uint64_t start);

}  // namespace kez::os
