// Test support, built into the tests' platform library (kez_test_os) and
// never into the engine: runs a program and collects what it writes to its
// standard output, on a pseudo-terminal where the platform offers one.
#pragma once

#include <cstdint>
#include <string>

namespace kez::os {

// Whether process_run_captured can give a program a terminal (POSIX; the
// Windows side always captures through a pipe, which is no console).
extern const bool kCapturedTerminal;

// Runs `program` with the null-terminated `arguments` (may be null). With
// terminal_rows > 0 and kCapturedTerminal its standard output is a new
// pseudo-terminal in raw mode (no line-end translation) whose window has
// that many rows; otherwise a pipe. Everything written there until the
// program ends is appended to *output. False when it could not be started
// or did not end within the time-out (it is then killed).
bool process_run_captured(const char *program, const char *const *arguments, int terminal_rows,
                          std::uint32_t timeout_ms, int *exit_code, std::string *output);

}  // namespace kez::os
