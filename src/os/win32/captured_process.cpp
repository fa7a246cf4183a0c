// Test support: a program's standard output through a pipe (see
// captured_process.h). No pseudo-console here: the program's output is
// never a console.
#include <windows.h>
#include <stdio.h>

#include "os/captured_process.h"
#include "os/os.h"

namespace kez::os {

const bool kCapturedTerminal = false;

bool process_run_captured(const char *program, const char *const *arguments, int, std::uint32_t timeout_ms,
                          int *exit_code, std::string *output) {
    char command_line[4096];
    int used = snprintf(command_line, sizeof command_line, "\"%s\"", program);
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
        const int n = snprintf(command_line + used, sizeof command_line - static_cast<std::size_t>(used), " \"%s\"",
                               arguments[i]);
        if (n < 0 || static_cast<std::size_t>(used + n) >= sizeof command_line) return false;
        used += n;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return false;
    }
    CloseHandle(pi.hThread);
    // The pipe is read until the program's end closes it, polling so that
    // a program that never ends cannot hold this past the time-out.
    const std::uint64_t deadline = tick_count_ms() + timeout_ms;
    bool in_time = true;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;  // closed: the end
        if (available == 0) {
            if (tick_count_ms() >= deadline) {
                in_time = false;
                break;
            }
            Sleep(5);
            continue;
        }
        char chunk[4096];
        DWORD n = 0;
        if (!ReadFile(read_end, chunk, available < sizeof chunk ? available : sizeof chunk, &n, nullptr) || n == 0)
            break;
        output->append(chunk, n);
    }
    CloseHandle(read_end);
    const std::uint64_t now = tick_count_ms();
    const bool ended = in_time && WaitForSingleObject(pi.hProcess, static_cast<DWORD>(deadline > now ? deadline - now : 0)) ==
                                      WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    *exit_code = static_cast<int>(code);
    return ended;
}

struct StartedProcess {
    HANDLE process;
};

StartedProcess *process_start(const char *program, const char *const *arguments) {
    char command_line[4096];
    int used = snprintf(command_line, sizeof command_line, "\"%s\"", program);
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
        const int n = snprintf(command_line + used, sizeof command_line - static_cast<std::size_t>(used), " \"%s\"",
                               arguments[i]);
        if (n < 0 || static_cast<std::size_t>(used + n) >= sizeof command_line) return nullptr;
        used += n;
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return new StartedProcess{pi.hProcess};
}

bool process_stop(StartedProcess *process, std::uint32_t timeout_ms) {
    if (process == nullptr) return false;
    const bool ended = WaitForSingleObject(process->process, timeout_ms) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process->process, 1);
        WaitForSingleObject(process->process, timeout_ms);
    }
    CloseHandle(process->process);
    delete process;
    return ended;
}

bool raise_descriptor_limit(std::size_t) { return true; }

}  // namespace kez::os
