// Processes, environment, versions and diagnostics on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "os/fault.h"
#include "os/os.h"
#include "os/posix/process_state.h"

namespace kez::os {

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

namespace {

struct ProcessStat {
    char state;
    std::uint64_t start;  // field 22: start time in clock ticks since boot
};

// State and start time of a process, from /proc/<pid>/stat.
bool read_process_stat(std::uint32_t pid, ProcessStat *out) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/stat", pid);
    FILE *f = fopen(path, "re");
    if (f == nullptr) return false;
    char line[1024];
    const bool ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    // The command name (field 2) may hold blanks and parentheses: the fields
    // after it start behind the last ')'. Field 3 is the state, 22 the start.
    const char *p = ok ? strrchr(line, ')') : nullptr;
    if (p == nullptr || p[1] != ' ' || p[2] == '\0') return false;
    out->state = p[2];
    int field = 2;
    for (++p; *p != '\0' && field < 22; ++p)
        if (*p == ' ') ++field;
    out->start = strtoull(p, nullptr, 10);
    return true;
}

}  // namespace

std::uint64_t process_start_token() {
    ProcessStat st{};
    return read_process_stat(current_process_id(), &st) ? st.start : 0;
}

bool process_alive(std::uint32_t pid, std::uint64_t start) {
    if (pid == 0 || pid > 0x7FFFFFFFu) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
    ProcessStat st{};
    if (!read_process_stat(pid, &st)) return true;  // no /proc: trust kill()
    if (st.state == 'Z' || st.state == 'X') return false;
    return start == 0 || st.start == start;
}

void sleep_ms(std::uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool process_run(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code) {
    return process_run_piped(program, arguments, timeout_ms, exit_code, nullptr, 0, 0);
}

bool process_run_piped(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code,
                       const char *input, std::size_t size, std::size_t chunk) {
    char *argv[32] = {const_cast<char *>(program)};
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr && i < 30; ++i)
        argv[i + 1] = const_cast<char *>(arguments[i]);
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input != nullptr) {
        if (pipe(fds) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    }
    pid_t pid;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (input != nullptr) close(fds[0]);
    if (spawned != 0) {
        if (input != nullptr) close(fds[1]);
        return false;
    }
    if (input != nullptr) {
        // A program that ends early must not end this one: SIGPIPE is held
        // back on this thread while it writes, and taken away after.
        sigset_t pipe_signal, before;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
        for (std::size_t at = 0; at < size;) {
            const std::size_t n = size - at < chunk ? size - at : chunk;
            const ssize_t w = write(fds[1], input + at, n);
            if (w <= 0) break;
            at += static_cast<std::size_t>(w);
            sleep_ms(1);
        }
        close(fds[1]);
        const timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_signal, nullptr, &no_wait) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    int status = 0;
    for (std::uint32_t waited = 0;; waited += 5) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return false;
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        sleep_ms(5);
    }
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool env_get(const char *name, char *buf, std::size_t size) {
    const char *v = getenv(name);
    if (v == nullptr || size == 0) return false;
    const std::size_t n = strlen(v);
    if (n >= size) return false;
    memcpy(buf, v, n + 1);
    return true;
}

int processor_count() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

// Linux gives each thread its own nice value (setpriority with a thread id).
bool thread_priority_get(int *priority) {
    if (fault::hit("os.thread_priority_get")) {
        errno = EACCES;
        return false;
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    if (nice == -1 && errno != 0) return false;
    *priority = -nice;
    return true;
}

bool thread_priority_set(int priority) {
    if (fault::hit("os.thread_priority_set")) {
        errno = EACCES;
        return false;
    }
    return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -priority) == 0;
}

bool env_set(const char *name, const char *value) {
    return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

int startup_show_window() { return -1; }

bool os_version(std::uint32_t *major, std::uint32_t *minor) {
    if (fault::hit("os.version")) return false;
    struct utsname u;
    if (uname(&u) != 0) return false;
    unsigned long a = 0, b = 0;
    char *end = nullptr;
    a = strtoul(u.release, &end, 10);
    if (end != nullptr && *end == '.') b = strtoul(end + 1, nullptr, 10);
    *major = static_cast<std::uint32_t>(a);
    *minor = static_cast<std::uint32_t>(b);
    return true;
}

// POSIX locales have no lead-byte code pages; UTF-8 is not one.
bool code_page_is_multibyte() { return false; }

bool command_run(const char *command_line, int *exit_code) {
    if (fault::hit("os.command_run")) return false;
    char shell[] = "/bin/sh";
    char flag[] = "-c";
    char *argv[] = {shell, flag, const_cast<char *>(command_line), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, shell, nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

void process_exit_now(std::uint32_t code) { _exit(static_cast<int>(code & 0xFF)); }

std::uint32_t last_error() { return static_cast<std::uint32_t>(errno); }

bool error_text(std::uint32_t code, char *buf, std::size_t size) {
    if (size == 0) return false;
    buf[0] = '\0';
    // GNU strerror_r may return a static string instead of filling buf.
    const char *text = strerror_r(static_cast<int>(code), buf, size);
    if (text != buf) snprintf(buf, size, "%s", text);
    return buf[0] != '\0';
}

const std::uint32_t kAccessDenied = EACCES;

bool debugger_present() {
    FILE *f = fopen("/proc/self/status", "re");
    if (f == nullptr) return false;
    char line[256];
    long tracer = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "TracerPid:", 10) == 0) {
            tracer = strtol(line + 10, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return tracer != 0;
}

void debug_output(const char *text) {
    // There is no system debugger channel on POSIX; standard error with a
    // prefix is what a developer watching the program sees.
    fprintf(stderr, "[kez debug] %s", text);
}

long open_handle_count() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    long n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the descriptor of the listing itself
}

long lowest_free_handle() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd;
}

}  // namespace kez::os
