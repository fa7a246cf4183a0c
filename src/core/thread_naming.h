// Debug names of the engine's threads, through the real-time host's
// thread-name functions when the host module is loaded; otherwise nothing.
#pragma once

#include <cstdint>

namespace kez::core {

// Names thread `thread_id` from a printf pattern with one integer (the
// thread id), unless it already has a name of its own (a non-empty name
// that does not begin with "StartAddr=0x", the host's default).
void name_engine_thread(std::uint32_t thread_id, const char *pattern);

}  // namespace kez::core
