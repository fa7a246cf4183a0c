// Messages for the debugger's output window. Today they go to the
// platform's debug output channel, the one the logger's debugger writer
// uses; the debugger link will route them to the debugger itself.
#pragma once

#include <cstddef>

namespace kez::debug {

// Sends `text` (NUL-terminated, `size` bytes before the NUL) as one message.
void send_debugger_output(const char *text, std::size_t size);

}  // namespace kez::debug
