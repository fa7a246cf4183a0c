// XModem-1K with CRC, 1 MiB a transfer, the engine against lrzsz talking to
// lrzsz, all through the same relay: a thread of this process that copies
// between one end's bytes and the other's.
//   XModemSend     XModemSend on COM1 (the slave of a pseudo-terminal pair
//                  linked as com1 in a directory of its own) to `rx -c`,
//                  relayed from the pair's master to rx's pipes.
//   XModemReceive  `sx -k` relayed to the master, XModemReceive on COM1.
//   Lrzsz          `sx -k` to `rx -c`, relayed between their pipes: the
//                  anchor of both (goal: the engine at most 2x its time).
// KEZ_BENCH_SMOKE shrinks the file to 8 KiB: the test run only checks that
// everything runs. Each transfer is bounded by the protocol's own waits; a
// failed one ends its benchmark with its code.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "median_times.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kez/rs232.h"

namespace {

constexpr int kPort = 1;
std::size_t g_size = 1u << 20;
std::string g_dir;

std::string path(const char *name) { return g_dir + "/" + name; }

// A child program with its standard input and output on pipes, in the
// bench's directory (rx writes only below its working directory).
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;  // our ends: its stdin, its stdout
};

Child start(const std::vector<std::string> &argv) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        for (int fd = 3; fd < 64; ++fd) close(fd);
        if (chdir(g_dir.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    return Child{pid, to_child[1], from_child[0]};
}

// Waits for the program to end: its exit status (128 when killed).
int wait_exit(const Child &c) {
    int status = 0;
    waitpid(c.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void close_ends(Child &c) {
    close(c.in);
    close(c.out);
}

// Copies a -> b and c -> d until `stop` (or both reads end).
void relay(int a, int b, int c, int d, const std::atomic<bool> &stop) {
    pollfd fds[2] = {{a, POLLIN, 0}, {c, POLLIN, 0}};
    const int to[2] = {b, d};
    char buffer[65536];
    while (!stop.load()) {
        if (poll(fds, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = write(to[i], buffer + done, static_cast<std::size_t>(n - done));
                if (w <= 0) break;
                done += w;
            }
        }
        if (fds[0].fd < 0 && fds[1].fd < 0) break;
    }
}

// The pseudo-terminal whose slave is COM1.
struct Line {
    int master = -1;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        const std::string link = path("com1");
        unlink(link.c_str());
        return symlink(ptsname(master), link.c_str()) == 0;
    }
};
Line g_line;

bool same_prefix(const std::string &a, const std::string &b) {
    // Received files carry padding up to the packet boundary.
    std::FILE *fa = std::fopen(a.c_str(), "rb");
    std::FILE *fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    for (std::size_t i = 0; same && i < g_size; ++i) same = std::fgetc(fa) == std::fgetc(fb);
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

// One engine transfer against an lrzsz program on the master's side.
void engine_transfer(benchmark::State &state, bool engine_sends) {
    if (OpenComConfig(kPort, "", 115200, 0, 8, 1, 8192, 8192) != 0 ||
        XModemConfig(kPort, 10.0, 10, 10.0, 1024) != 0) {
        state.SkipWithError("the port did not open");
        return;
    }
    const std::string source = path("source.bin"), target = path("target.bin");
    for (auto _ : state) {
        unlink(target.c_str());
        Child peer = engine_sends ? start({"rx", "-q", "-c", "target.bin"}) : start({"sx", "-q", "-k", "source.bin"});
        std::atomic<bool> stop{false};
        std::thread relay_thread(relay, g_line.master, peer.in, peer.out, g_line.master, std::cref(stop));
        const int rc = engine_sends ? XModemSend(kPort, source.c_str()) : XModemReceive(kPort, target.c_str());
        const int peer_rc = wait_exit(peer);
        stop.store(true);
        relay_thread.join();
        close_ends(peer);
        if (rc != 0 || peer_rc != 0 || !same_prefix(source, target)) {
            state.SkipWithError(("transfer failed: " + std::to_string(rc) + "/" + std::to_string(peer_rc)).c_str());
            break;
        }
    }
    CloseCom(kPort);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}

void XModemSend_(benchmark::State &state) { engine_transfer(state, true); }
void XModemReceive_(benchmark::State &state) { engine_transfer(state, false); }

void Lrzsz(benchmark::State &state) {
    const std::string source = path("source.bin"), target = path("target.bin");
    for (auto _ : state) {
        unlink(target.c_str());
        Child receiver = start({"rx", "-q", "-c", "target.bin"});
        Child sender = start({"sx", "-q", "-k", "source.bin"});
        std::atomic<bool> stop{false};
        std::thread relay_thread(relay, sender.out, receiver.in, receiver.out, sender.in, std::cref(stop));
        const int sent = wait_exit(sender), received = wait_exit(receiver);
        stop.store(true);
        relay_thread.join();
        close_ends(sender);
        close_ends(receiver);
        if (sent != 0 || received != 0 || !same_prefix(source, target)) {
            state.SkipWithError(("lrzsz transfer failed: " + std::to_string(sent) + "/" + std::to_string(received)).c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}

BENCHMARK(XModemSend_)->Name("XModemSend")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(XModemReceive_)->Name("XModemReceive")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Lrzsz)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints each engine direction's time against the anchor's.
class RatioReporter : public MedianTimesReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double anchor = time_["Lrzsz"];
        for (const char *name : {"XModemSend", "XModemReceive"}) {
            const double engine = time_[name];
            if (engine <= 0 || anchor <= 0) continue;
            const double ratio = engine / anchor;
            std::printf("%s: %.1f ms against lrzsz %.1f ms: %.2fx (goal <= 2x: %s)\n", name, engine, anchor, ratio,
                        ratio <= 2.0 ? "met" : "MISSED");
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (std::getenv("KEZ_BENCH_SMOKE") != nullptr) g_size = 8192;
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/kez-xmodem-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    g_dir = dir;
    setenv("KEZ_SERIAL_DIR", dir, 1);
    setenv("KEZ_COMPONENT_PATH", KEZ_VISA_DIR, 1);
    {
        std::FILE *f = std::fopen(path("source.bin").c_str(), "wb");
        if (f == nullptr) return 1;
        for (std::size_t i = 0; i < g_size; ++i) std::fputc(static_cast<int>((i * 7 + 3) & 0xFF), f);
        std::fclose(f);
    }
    if (!g_line.open()) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    close(g_line.master);
    unlink(path("com1").c_str());
    unlink(path("source.bin").c_str());
    unlink(path("target.bin").c_str());
    rmdir(dir);
    return 0;
}
