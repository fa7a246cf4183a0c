// Test support, built into the tests' platform library (kez_test_os) and
// never into the engine: runs a program and collects what it writes to its
// standard output, on a pseudo-terminal where the platform offers one.
#pragma once

#include <cstddef>
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

// A long-running child that the test talks to by other means (a socket):
// started with the inherited standard handles, not waited for. Null when
// it could not be started. Wine starts a Linux program by its Z: path and
// hands it the arguments unchanged, but gives it no pipe ends and cannot
// wait for it or end it: such a child must end by itself.
struct StartedProcess;
StartedProcess *process_start(const char *program, const char *const *arguments);
// Waits up to timeout_ms for the child to end, then kills it, and frees
// the handle. True when it ended by itself within the time.
bool process_stop(StartedProcess *process, std::uint32_t timeout_ms);

// Raises the process's limit on open descriptors to at least `wanted`
// where the system has one (POSIX: the soft limit, up to the hard one).
// False when the limit stays below it. Windows has no such limit.
bool raise_descriptor_limit(std::size_t wanted);

}  // namespace kez::os
