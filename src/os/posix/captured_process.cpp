// Test support: a program's standard output through a pseudo-terminal or a
// pipe (see captured_process.h).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "os/captured_process.h"
#include "os/os.h"

extern char **environ;

namespace kez::os {

const bool kCapturedTerminal = true;

namespace {

// The reading end and the program's end of a new pseudo-terminal in raw
// mode with `rows` rows, or of a pipe.
bool open_output(int rows, int *reader, int *writer) {
    if (rows <= 0) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        *reader = fds[0];
        *writer = fds[1];
        return true;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return false;
    char name[128];
    int slave = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0)
        slave = open(name, O_RDWR | O_NOCTTY);
    termios mode{};
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = 80;
    if (slave < 0 || tcgetattr(slave, &mode) != 0 || (cfmakeraw(&mode), tcsetattr(slave, TCSANOW, &mode)) != 0 ||
        ioctl(master, TIOCSWINSZ, &size) != 0) {
        if (slave >= 0) close(slave);
        close(master);
        return false;
    }
    *reader = master;
    *writer = slave;
    return true;
}

}  // namespace

bool process_run_captured(const char *program, const char *const *arguments, int terminal_rows,
                          std::uint32_t timeout_ms, int *exit_code, std::string *output) {
    char *argv[32] = {const_cast<char *>(program)};
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr && i < 30; ++i)
        argv[i + 1] = const_cast<char *>(arguments[i]);
    int reader = -1, writer = -1;
    if (!open_output(terminal_rows, &reader, &writer)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writer, 1);
    posix_spawn_file_actions_addclose(&actions, reader);
    posix_spawn_file_actions_addclose(&actions, writer);
    pid_t pid;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(writer);
    if (spawned != 0) {
        close(reader);
        return false;
    }
    // Read until the program's end closes its side: end of file on a pipe,
    // EIO on a terminal's master.
    const std::uint64_t deadline = tick_count_ms() + timeout_ms;
    bool in_time = true;
    for (;;) {
        const std::uint64_t now = tick_count_ms();
        if (now >= deadline) {
            in_time = false;
            break;
        }
        pollfd p{reader, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(deadline - now < 100 ? deadline - now : 100));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char chunk[4096];
        const ssize_t n = read(reader, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output->append(chunk, static_cast<std::size_t>(n));
    }
    close(reader);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return false;
        if (!in_time || tick_count_ms() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        sleep_ms(5);
    }
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return in_time;
}

struct StartedProcess {
    pid_t pid;
};

StartedProcess *process_start(const char *program, const char *const *arguments) {
    char *argv[32] = {const_cast<char *>(program)};
    for (int i = 0; arguments != nullptr && arguments[i] != nullptr && i < 30; ++i)
        argv[i + 1] = const_cast<char *>(arguments[i]);
    pid_t pid;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return nullptr;
    return new StartedProcess{pid};
}

bool process_stop(StartedProcess *process, std::uint32_t timeout_ms) {
    if (process == nullptr) return false;
    const std::uint64_t deadline = tick_count_ms() + timeout_ms;
    bool ended = false;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(process->pid, &status, WNOHANG);
        if (r == process->pid || (r < 0 && errno != EINTR)) {
            ended = r == process->pid;
            break;
        }
        if (tick_count_ms() >= deadline) {
            kill(process->pid, SIGKILL);
            waitpid(process->pid, &status, 0);
            break;
        }
        sleep_ms(5);
    }
    delete process;
    return ended;
}

bool raise_descriptor_limit(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
        limit.rlim_cur = static_cast<rlim_t>(wanted);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    }
    return true;
}

}  // namespace kez::os
