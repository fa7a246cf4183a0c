// The RS-232 library, through the serial VISA component, against plain
// termios I/O on the same line: a pseudo-terminal pair made here, whose
// slave is COM1 (linked as com1 in a directory of its own, KEZ_SERIAL_DIR)
// and whose master is the far end, served by a thread of this process.
//   SerialWrite  16 MiB a round through ComWrt (64 KiB output queue),
//                delivered when the master's reader has every byte, against
//                write(2) on the slave (goal: at least 0.5x the anchor's
//                bytes per second).
//   SerialRead   16 MiB a round written to the master by a thread, taken
//                with ComRd, against read(2) on the slave (goal: at least
//                0.5x).
//   SerialEcho   one byte to an echo thread on the master and back:
//                ComWrtByte + ComRdByte against write + read on the slave
//                (goal: at most 3x the anchor's time).
// After the runs a ComRd waits 1 s on the line with nothing arriving, and
// the process CPU time used meanwhile is printed beside that of a plain
// poll + read waiting as long (goal: near zero, under 10 ms).
// The port is open only during the engine's runs (the component reads the
// line while a session is open). KEZ_BENCH_SMOKE shrinks a round to
// 256 KiB: the test run only checks that everything runs. Every wait has a
// time-out; a failed call ends its benchmark with the call and its code.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "clocks.h"
#include "median_times.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kez/rs232.h"

namespace {

constexpr int kPort = 1;
constexpr int kQueue = 65536;
constexpr int kWaitMs = 5000;  // any single wait of the far end or the anchor
std::size_t g_round = 16u << 20;

// ---- the line ------------------------------------------------------------------------

struct Line {
    int master = -1, slave = -1;
    std::string dir, link;
};
Line g_line;

bool make_line() {
    char dir[] = "/tmp/kez-bench-serial-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    g_line.dir = dir;
    g_line.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_line.master < 0 || grantpt(g_line.master) != 0 || unlockpt(g_line.master) != 0) return false;
    char name[128];
    if (ptsname_r(g_line.master, name, sizeof name) != 0) return false;
    g_line.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_line.slave < 0) return false;
    termios t{};
    if (tcgetattr(g_line.slave, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    if (tcsetattr(g_line.slave, TCSANOW, &t) != 0) return false;
    g_line.link = g_line.dir + "/com1";
    if (symlink(name, g_line.link.c_str()) != 0) return false;
    return setenv("KEZ_SERIAL_DIR", g_line.dir.c_str(), 1) == 0 &&
           setenv("KEZ_COMPONENT_PATH", KEZ_VISA_DIR, 1) == 0;
}

void remove_line() {
    if (!g_line.link.empty()) unlink(g_line.link.c_str());
    if (!g_line.dir.empty()) rmdir(g_line.dir.c_str());
    if (g_line.slave >= 0) close(g_line.slave);
    if (g_line.master >= 0) close(g_line.master);
}

// Waits until fd is ready for `events`; false after kWaitMs.
bool wait_fd(int fd, short events, int ms = kWaitMs) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

bool write_all(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EAGAIN && wait_fd(fd, POLLOUT)) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, char *data, std::size_t n) {
    while (n > 0) {
        if (!wait_fd(fd, POLLIN)) return false;
        const ssize_t r = read(fd, data, n);
        if (r <= 0) return false;
        data += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

void skip(benchmark::State &state, const char *call, int code) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed: %d", call, code);
    state.SkipWithError(text);
}

// The engine's port on the line for one benchmark's runs.
class Port {
public:
    Port() : status_(OpenComConfig(kPort, "", 115200, 0, 8, 1, kQueue, kQueue)) {
        if (status_ == 0) status_ = SetComTime(kPort, kWaitMs / 1000.0);
    }
    ~Port() { CloseCom(kPort); }
    int status() const { return status_; }

private:
    int status_;
};

// ---- the far end: a thread on the master -----------------------------------------------

// Reads the master and counts the bytes; wait_for() waits for a total.
class Sink {
public:
    Sink() : thread_([this] {
          std::vector<char> buffer(65536);
          while (!stop_.load()) {
              if (!wait_fd(g_line.master, POLLIN, 50)) continue;
              const ssize_t r = read(g_line.master, buffer.data(), buffer.size());
              if (r <= 0) continue;
              std::lock_guard<std::mutex> lock(m_);
              received_ += r;
              cv_.notify_all();
          }
      }) {}
    ~Sink() {
        stop_.store(true);
        thread_.join();
    }
    bool wait_for(long long total) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return received_ >= total; });
    }

private:
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::condition_variable cv_;
    long long received_ = 0;
    std::thread thread_;
};

// Writes a round to the master each time go() is called.
class Source {
public:
    Source() : thread_([this] {
          std::vector<char> chunk(65536, 's');
          std::unique_lock<std::mutex> lock(m_);
          for (;;) {
              cv_.wait(lock, [&] { return rounds_ > 0 || stop_; });
              if (stop_) return;
              --rounds_;
              lock.unlock();
              for (std::size_t done = 0; done < g_round && ok_;) {
                  const std::size_t n = std::min(chunk.size(), g_round - done);
                  ok_ = write_all(g_line.master, chunk.data(), n);
                  done += n;
              }
              lock.lock();
          }
      }) {}
    ~Source() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void go() {
        std::lock_guard<std::mutex> lock(m_);
        ++rounds_;
        cv_.notify_all();
    }
    bool ok() const { return ok_.load(); }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int rounds_ = 0;
    bool stop_ = false;
    std::atomic<bool> ok_{true};
    std::thread thread_;
};

// Sends back every byte that reaches the master.
class Echo {
public:
    Echo() : thread_([this] {
          char buffer[256];
          while (!stop_.load()) {
              if (!wait_fd(g_line.master, POLLIN, 50)) continue;
              const ssize_t r = read(g_line.master, buffer, sizeof buffer);
              if (r > 0) write_all(g_line.master, buffer, static_cast<std::size_t>(r));
          }
      }) {}
    ~Echo() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- throughput -------------------------------------------------------------------------

void BM_SerialWrite_kez(benchmark::State &state) {
    Port port;
    if (port.status() != 0) return skip(state, "OpenComConfig", port.status());
    Sink sink;
    const std::vector<char> data(g_round, 'k');
    long long total = 0;
    for (auto _ : state) {
        const int w = ComWrt(kPort, data.data(), data.size());
        total += w > 0 ? w : 0;
        if (w != static_cast<int>(data.size())) return skip(state, "ComWrt", w);
        if (!sink.wait_for(total)) return skip(state, "the far end's read", -99);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g_round));
}
BENCHMARK(BM_SerialWrite_kez)->UseRealTime();

void BM_SerialWrite_termios(benchmark::State &state) {
    Sink sink;
    const std::vector<char> data(g_round, 'p');
    long long total = 0;
    for (auto _ : state) {
        if (!write_all(g_line.slave, data.data(), data.size())) return skip(state, "write", errno);
        total += static_cast<long long>(data.size());
        if (!sink.wait_for(total)) return skip(state, "the far end's read", -1);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g_round));
}
BENCHMARK(BM_SerialWrite_termios)->UseRealTime();

void BM_SerialRead_kez(benchmark::State &state) {
    Port port;
    if (port.status() != 0) return skip(state, "OpenComConfig", port.status());
    Source source;
    std::vector<char> data(g_round);
    for (auto _ : state) {
        source.go();
        const int r = ComRd(kPort, data.data(), data.size());
        if (r != static_cast<int>(data.size()) || !source.ok()) return skip(state, "ComRd", r);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g_round));
}
BENCHMARK(BM_SerialRead_kez)->UseRealTime();

void BM_SerialRead_termios(benchmark::State &state) {
    tcflush(g_line.slave, TCIOFLUSH);
    Source source;
    std::vector<char> data(g_round);
    for (auto _ : state) {
        source.go();
        if (!read_all(g_line.slave, data.data(), data.size()) || !source.ok()) return skip(state, "read", errno);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g_round));
}
BENCHMARK(BM_SerialRead_termios)->UseRealTime();

// ---- round trip -------------------------------------------------------------------------

void BM_SerialEcho_kez(benchmark::State &state) {
    Port port;
    if (port.status() != 0) return skip(state, "OpenComConfig", port.status());
    Echo echo;
    unsigned char c = 0;
    for (auto _ : state) {
        ++c;
        const int w = ComWrtByte(kPort, c);
        const int r = w == 1 ? ComRdByte(kPort) : w;
        if (r != c) return skip(state, "ComWrtByte/ComRdByte", r);
    }
}
BENCHMARK(BM_SerialEcho_kez)->UseRealTime();

void BM_SerialEcho_termios(benchmark::State &state) {
    tcflush(g_line.slave, TCIOFLUSH);
    Echo echo;
    unsigned char c = 0;
    for (auto _ : state) {
        ++c;
        unsigned char back = 0;
        if (!write_all(g_line.slave, reinterpret_cast<char *>(&c), 1) ||
            !read_all(g_line.slave, reinterpret_cast<char *>(&back), 1) || back != c)
            return skip(state, "write/read", errno);
    }
}
BENCHMARK(BM_SerialEcho_termios)->UseRealTime();

// ---- the ratios ------------------------------------------------------------------------

class RatioReporter : public MedianTimesReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n");
        throughput("ComWrt", "write(2)", "BM_SerialWrite_kez", "BM_SerialWrite_termios");
        throughput("ComRd", "read(2)", "BM_SerialRead_kez", "BM_SerialRead_termios");
        const double kez = time_["BM_SerialEcho_kez"], plain = time_["BM_SerialEcho_termios"];
        if (kez > 0 && plain > 0) {
            const double ratio = kez / plain;
            std::printf("1-byte echo round trip: kez %.1f us, termios %.1f us; kez/termios %.2fx (goal <= 3x) %s\n",
                        kez / 1e3, plain / 1e3, ratio, ratio <= 3.0 ? "met" : "MISSED");
        }
    }

private:
    // Times are nanoseconds a round; throughput is the anchor's time over
    // the engine's.
    void throughput(const char *kez_call, const char *plain_call, const char *kez_name, const char *plain_name) {
        const double kez = time_[kez_name], plain = time_[plain_name];
        if (kez <= 0 || plain <= 0) return;
        const double ratio = plain / kez;
        std::printf("%.2f MiB through %s: kez %.2f MB/s, %s %.1f MB/s; kez/termios %.3fx (goal >= 0.5x) %s\n",
                    static_cast<double>(g_round) / 1048576.0, kez_call, mb_per_s(kez), plain_call, mb_per_s(plain), ratio,
                    ratio >= 0.5 ? "met" : "MISSED");
    }
    static double mb_per_s(double ns) { return static_cast<double>(g_round) / ns * 1e3; }
};

// ---- idle read -------------------------------------------------------------------------

// False when the engine's read did not end by its time-out.
bool run_idle_read() {
    constexpr double kNearZeroS = 0.010;
    char byte = 0;
    bool ok = true;
    double kez_cpu = 0, kez_wall = 0;
    int status = 0, err = 0;
    {
        Port port;
        if (port.status() != 0 || SetComTime(kPort, 1.0) != 0) {
            std::printf("idle read: OpenComConfig/SetComTime %d\n", port.status());
            return false;
        }
        double cpu = process_cpu_s(), wall = wall_s();
        status = ComRd(kPort, &byte, 1);
        err = ReturnRS232Err();
        kez_cpu = process_cpu_s() - cpu;
        kez_wall = wall_s() - wall;
    }
    tcflush(g_line.slave, TCIOFLUSH);
    double cpu = process_cpu_s(), wall = wall_s();
    const bool ready = wait_fd(g_line.slave, POLLIN, 1000);
    const ssize_t plain_status = ready ? read(g_line.slave, &byte, 1) : 0;
    const double plain_cpu = process_cpu_s() - cpu, plain_wall = wall_s() - wall;
    std::printf("\nidle read, 1 s with nothing arriving: kez ComRd returned %d (status %d) after %.3f s using %.4f s "
                "of process CPU time; plain poll + read returned %zd after %.3f s using %.4f s (goal: near zero, "
                "under %.3f s) %s\n",
                status, err, kez_wall, kez_cpu, plain_status, plain_wall, plain_cpu, kNearZeroS,
                kez_cpu < kNearZeroS ? "met" : "MISSED");
    if (status != 0 || err != -99 || kez_wall < 0.9) {
        std::printf("idle read: expected 0 bytes and the time-out (-99) after 1 s\n");
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (const char *smoke = std::getenv("KEZ_BENCH_SMOKE"); smoke != nullptr && *smoke != '\0') g_round = 256u << 10;
    if (!make_line()) {
        std::printf("no pseudo-terminal line: %s\n", std::strerror(errno));
        remove_line();
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool ok = run_idle_read();
    benchmark::Shutdown();
    remove_line();
    return ok ? 0 : 1;
}
