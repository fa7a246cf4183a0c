// Processes, environment, versions and diagnostics on Windows.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os/fault.h"
#include "os/os.h"

namespace kez::os {

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

std::uint64_t process_start_token() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

bool process_run(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code) {
    return process_run_piped(program, arguments, timeout_ms, exit_code, nullptr, 0, 0);
}

bool process_run_piped(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code,
                       const char *input, std::size_t size, std::size_t chunk) {
    // Arguments are quoted; the engine's own helpers never pass quotes.
    char command_line[4096];
    int used = snprintf(command_line, sizeof command_line, "\"%s\"", program);
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
        const int n = snprintf(command_line + used, sizeof command_line - static_cast<std::size_t>(used), " \"%s\"",
                               arguments[i]);
        if (n < 0 || static_cast<std::size_t>(used + n) >= sizeof command_line) return false;
        used += n;
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (input != nullptr) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
        SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = read_end;
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessA(nullptr, command_line, nullptr, nullptr, input != nullptr, 0, nullptr, nullptr, &si, &pi);
    if (read_end != nullptr) CloseHandle(read_end);
    if (!started) {
        if (write_end != nullptr) CloseHandle(write_end);
        return false;
    }
    CloseHandle(pi.hThread);
    for (std::size_t at = 0; at < size;) {
        const DWORD n = static_cast<DWORD>(size - at < chunk ? size - at : chunk);
        DWORD written = 0;
        if (!WriteFile(write_end, input + at, n, &written, nullptr) || written == 0) break;
        at += written;
        Sleep(1);
    }
    if (write_end != nullptr) CloseHandle(write_end);
    bool ended = WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0;
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

bool command_run(const char *command_line, int *exit_code) {
    if (fault::hit("os.command_run")) return false;
    // CreateProcessA may write into the line it is given.
    const std::size_t n = strlen(command_line);
    char *line = static_cast<char *>(malloc(n + 1));
    if (line == nullptr) return false;
    memcpy(line, command_line, n + 1);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    free(line);
    if (!started) return false;
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    *exit_code = static_cast<int>(code);
    return true;
}

void process_exit_now(std::uint32_t code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);  // not reached
}

bool env_get(const char *name, char *buf, std::size_t size) {
    if (size == 0) return false;
    const DWORD n = GetEnvironmentVariableA(name, buf, static_cast<DWORD>(size));
    return n != 0 && n < size;
}

int processor_count() {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors > 0 ? static_cast<int>(si.dwNumberOfProcessors) : 1;
}

bool thread_priority_get(int *priority) {
    if (fault::hit("os.thread_priority_get")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const int p = GetThreadPriority(GetCurrentThread());
    if (p == THREAD_PRIORITY_ERROR_RETURN) return false;
    *priority = p;
    return true;
}

bool thread_priority_set(int priority) {
    if (fault::hit("os.thread_priority_set")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return SetThreadPriority(GetCurrentThread(), priority) != 0;
}

bool env_set(const char *name, const char *value) { return SetEnvironmentVariableA(name, value) != 0; }

int startup_show_window() {
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    return (si.dwFlags & STARTF_USESHOWWINDOW) != 0 ? si.wShowWindow : -1;
}

bool os_version(std::uint32_t *major, std::uint32_t *minor) {
    if (fault::hit("os.version")) return false;
    // RtlGetVersion reports the real version whatever the manifest says.
    using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
    HMODULE ntdll = GetModuleHandleA("ntdll");
    if (ntdll == nullptr) return false;
    auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (fn == nullptr) return false;
    OSVERSIONINFOW vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    if (fn(&vi) != 0) return false;
    *major = vi.dwMajorVersion;
    *minor = vi.dwMinorVersion;
    return true;
}

bool code_page_is_multibyte() {
    // Only a code page with lead bytes (UTF-8 has none) counts.
    CPINFO info;
    return GetCPInfo(CP_ACP, &info) && info.LeadByte[0] != 0;
}

std::uint32_t last_error() { return GetLastError(); }

bool error_text(std::uint32_t code, char *buf, std::size_t size) {
    if (size == 0) return false;
    buf[0] = '\0';
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageA(flags, nullptr, code, 0, buf, static_cast<DWORD>(size), nullptr);
    if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        // Longer than the caller's buffer: let the system allocate, then cut.
        char *whole = nullptr;
        n = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0, reinterpret_cast<char *>(&whole),
                           0, nullptr);
        if (n != 0 && whole != nullptr) snprintf(buf, size, "%s", whole);
        if (whole != nullptr) LocalFree(whole);
        n = static_cast<DWORD>(strlen(buf));
    }
    if (n == 0) {
        snprintf(buf, size, "Unknown error %u", code);
        return false;
    }
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = '\0';
    return true;
}

const std::uint32_t kAccessDenied = ERROR_ACCESS_DENIED;

bool debugger_present() { return IsDebuggerPresent() != 0; }

void debug_output(const char *text) { OutputDebugStringA(text); }

long open_handle_count() {
    DWORD n = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &n)) return -1;
    return static_cast<long>(n);
}

long lowest_free_handle() {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (h == nullptr) return -1;
    CloseHandle(h);
    return static_cast<long>(reinterpret_cast<std::uintptr_t>(h));
}

}  // namespace kez::os
