// The engine's numbered message table: one table for every library's error
// texts and every run-time error text. Libraries add their entries in
// messages.cpp.
#pragma once

namespace kez::core {

// The text of message `number`, or null when the table has none.
const char *message_text(int number);

}  // namespace kez::core
