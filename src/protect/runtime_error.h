// Run-time errors as the rest of the engine raises them, and the process-wide
// debugging level. The reporting roads (error file, debugger, standard
// output) belong to user protection; until it is part of the engine a report
// goes to an installed sink, or nowhere.
#pragma once

namespace kez::protect {

enum Severity : int {
    kNoReport = 0,
    kWarningClass = 1,
    kNonFatal = 2,
    kFatal = 3,
};

enum DebuggingLevel : int {
    kNoDebugging = 0,
    kDebugging = 1,
    kUserProtection = 2,
    kExtended = 3,
};

// Report without a source range: the message's severity and its formatted text.
void report_runtime_error(int severity, const char *text);

using RuntimeErrorSink = void (*)(int severity, const char *text);
// Installs the receiver of reports (null: none).
void set_runtime_error_sink(RuntimeErrorSink sink);

int debugging_level();
// Sets the level as it is (tests, and the start-up code of debug-built programs).
void set_debugging_level(int level);

}  // namespace kez::protect
