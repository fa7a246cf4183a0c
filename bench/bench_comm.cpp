// The TCP and UDP libraries against plain blocking sockets in the same
// process, each against a peer thread on 127.0.0.1:
//   TcpThroughput  64 KiB writes, 4 MiB a round followed by a one-byte
//                  acknowledgement from the reader: ClientTCPWrite into a
//                  server connection read with ServerTCPRead on the peer
//                  thread, against send/recv (goal: at least 0.8x the
//                  anchor's bytes per second).
//   TcpRoundTrip   64 bytes to an echo peer thread (plain sockets, the same
//                  for both) and back: ClientTCPWrite + ClientTCPRead
//                  against send + recv (goal: at most 1.5x the anchor's
//                  time).
//   UdpRoundTrip   64-byte datagram to a UDP echo peer thread and back:
//                  UDPWrite + UDPRead against sendto + recvfrom (goal: at
//                  most 1.5x).
// After the runs, a ClientTCPRead waits 1 s on a connection where nothing
// arrives, and the process CPU time used meanwhile is printed beside that
// of a plain recv waiting as long (goal: near zero, under 10 ms).
// The ratios are of real time (the medians with --benchmark_repetitions);
// on a busy machine add --benchmark_enable_random_interleaving=true, so
// that engine and anchor runs share the machine's moods.
// Every peer socket has a receive time-out, so a failed side cannot leave
// the other waiting for ever; a failed call ends its benchmark with the
// call and its code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "clocks.h"
#include "median_times.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kez/tcp.h"
#include "kez/udp.h"

namespace {

constexpr std::size_t kWriteSize = 64 * 1024;
constexpr std::size_t kRoundBytes = 4 * 1024 * 1024;  // acknowledged by the reader
constexpr std::size_t kMessage = 64;
constexpr unsigned kTimeoutMs = 5000;
constexpr int kPeerTimeoutS = 5;

// ---- plain sockets -------------------------------------------------------------

void set_receive_timeout(int fd, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

std::uint16_t local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 on a free port (listening when a stream);
// -1 on failure.
int bound_socket(int type) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    sockaddr_in a = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_plain(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    set_receive_timeout(fd, kPeerTimeoutS);
    return fd;
}

bool send_all(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool recv_all(int fd, char *data, std::size_t n) {
    while (n > 0) {
        const ssize_t got = recv(fd, data, n, 0);
        if (got <= 0) return false;
        data += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// A plain listener on a free port whose thread accepts one connection and
// runs `serve` on it until it returns.
template <typename Serve>
class PlainPeer {
public:
    explicit PlainPeer(Serve serve) : listener_(bound_socket(SOCK_STREAM)) {
        if (listener_ < 0) return;
        set_receive_timeout(listener_, kPeerTimeoutS);  // bounds the accept too
        port_ = local_port(listener_);
        thread_ = std::thread([this, serve] {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            set_receive_timeout(fd, kPeerTimeoutS);
            serve(fd);
            close(fd);
        });
    }
    ~PlainPeer() {
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Echoes 64-byte messages until the client goes.
void echo_messages(int fd) {
    char message[kMessage];
    while (recv_all(fd, message, sizeof message) && send_all(fd, message, sizeof message)) {
    }
}

void skip(benchmark::State &state, const char *call, int code) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed: %d", call, code);
    state.SkipWithError(text);
}

// ---- TCP throughput ------------------------------------------------------------

struct EngineSink {
    std::atomic<int> connection{-1};
};

int sink_event(unsigned handle, int type, int, void *data) {
    if (type == TCP_CONNECT) static_cast<EngineSink *>(data)->connection.store(static_cast<int>(handle));
    return 0;
}

// The server side on its own thread: registers a server on a free port,
// accepts one connection (its events run on this thread), reads rounds of
// kRoundBytes and acknowledges each with one byte, until the client goes.
// The received byte count is the thread's result.
void engine_sink(std::promise<int> port_out, std::promise<long long> received_out) {
    EngineSink sink;
    const int port = RegisterTCPServer(0, sink_event, &sink);
    port_out.set_value(port);
    if (port <= 0) {
        received_out.set_value(port);
        return;
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(kPeerTimeoutS);
    while (sink.connection.load() < 0 && std::chrono::steady_clock::now() < give_up) {
        ProcessTCPEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    long long received = 0;
    const int connection = sink.connection.load();
    if (connection >= 0) {
        std::vector<char> buffer(kWriteSize);
        std::size_t in_round = 0;
        for (;;) {
            const int got = ServerTCPRead(static_cast<unsigned>(connection), buffer.data(), buffer.size(), kTimeoutMs);
            if (got <= 0) break;
            received += got;
            in_round += static_cast<std::size_t>(got);
            if (in_round >= kRoundBytes) {
                in_round -= kRoundBytes;
                const char ack = 'a';
                if (ServerTCPWrite(static_cast<unsigned>(connection), &ack, 1, kTimeoutMs) != 1) break;
            }
        }
    }
    UnregisterTCPServer(static_cast<unsigned>(port));
    received_out.set_value(received);
}

void BM_TcpThroughput_kez(benchmark::State &state) {
    std::promise<int> port_promise;
    std::promise<long long> received_promise;
    std::future<int> port_future = port_promise.get_future();
    std::future<long long> received_future = received_promise.get_future();
    std::thread peer(engine_sink, std::move(port_promise), std::move(received_promise));
    const int port = port_future.get();
    unsigned handle = 0;
    int status = port > 0 ? ConnectToTCPServer(&handle, static_cast<unsigned>(port), "127.0.0.1", nullptr, nullptr,
                                               kTimeoutMs)
                          : port;
    if (status < 0) {
        skip(state, port > 0 ? "ConnectToTCPServer" : "RegisterTCPServer", status);
        peer.join();
        return;
    }
    std::vector<char> data(kWriteSize, 'k');
    long long sent = 0;
    status = 1;
    for (auto _ : state) {
        for (std::size_t round = 0; round < kRoundBytes && status > 0;) {
            std::size_t left = kWriteSize;
            while (left > 0) {
                status = ClientTCPWrite(handle, data.data() + (kWriteSize - left), left, kTimeoutMs);
                if (status <= 0) break;
                left -= static_cast<std::size_t>(status);
                sent += status;
            }
            round += kWriteSize;
        }
        char ack = 0;
        if (status > 0) status = ClientTCPRead(handle, &ack, 1, kTimeoutMs);
        if (status != 1) {
            skip(state, "ClientTCPWrite/ClientTCPRead", status);
            break;
        }
    }
    DisconnectFromTCPServer(handle);
    peer.join();
    const long long received = received_future.get();
    if (status == 1 && received != sent) {
        char text[120];
        std::snprintf(text, sizeof text, "%lld bytes written, %lld read", sent, received);
        state.SkipWithError(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kRoundBytes));
}
BENCHMARK(BM_TcpThroughput_kez)->UseRealTime();

void BM_TcpThroughput_plain(benchmark::State &state) {
    std::atomic<long long> received{0};
    PlainPeer peer([&received](int fd) {
        std::vector<char> buffer(kWriteSize);
        std::size_t in_round = 0;
        for (;;) {
            const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) return;
            received += got;
            in_round += static_cast<std::size_t>(got);
            if (in_round >= kRoundBytes) {
                in_round -= kRoundBytes;
                if (!send_all(fd, "a", 1)) return;
            }
        }
    });
    const int fd = peer.port() != 0 ? connect_plain(peer.port()) : -1;
    if (fd < 0) {
        skip(state, "connect", errno);
        return;
    }
    std::vector<char> data(kWriteSize, 'p');
    long long sent = 0;
    bool ok = true;
    for (auto _ : state) {
        for (std::size_t round = 0; round < kRoundBytes && ok; round += kWriteSize) {
            ok = send_all(fd, data.data(), kWriteSize);
            sent += ok ? static_cast<long long>(kWriteSize) : 0;
        }
        char ack = 0;
        if (!ok || recv(fd, &ack, 1, 0) != 1) {
            ok = false;
            skip(state, "send/recv", errno);
            break;
        }
    }
    close(fd);
    if (ok && received.load() != sent) state.SkipWithError("the reader did not get every byte");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kRoundBytes));
}
BENCHMARK(BM_TcpThroughput_plain)->UseRealTime();

// ---- TCP round trip ------------------------------------------------------------

void BM_TcpRoundTrip_kez(benchmark::State &state) {
    PlainPeer peer(echo_messages);
    unsigned handle = 0;
    const int connected =
        peer.port() != 0 ? ConnectToTCPServer(&handle, peer.port(), "127.0.0.1", nullptr, nullptr, kTimeoutMs) : -1;
    if (connected != 0) {
        skip(state, "ConnectToTCPServer", connected);
        return;
    }
    char out[kMessage], in[kMessage];
    std::memset(out, 'r', sizeof out);
    for (auto _ : state) {
        ++out[0];
        int status = ClientTCPWrite(handle, out, sizeof out, kTimeoutMs);
        std::size_t got = 0;
        if (status == static_cast<int>(sizeof out)) {
            while (got < sizeof in) {
                status = ClientTCPRead(handle, in + got, sizeof in - got, kTimeoutMs);
                if (status <= 0) break;
                got += static_cast<std::size_t>(status);
            }
        }
        if (got != sizeof in || std::memcmp(in, out, sizeof in) != 0) {
            skip(state, "ClientTCPWrite/ClientTCPRead", status);
            break;
        }
    }
    DisconnectFromTCPServer(handle);
}
BENCHMARK(BM_TcpRoundTrip_kez)->UseRealTime();

void BM_TcpRoundTrip_plain(benchmark::State &state) {
    PlainPeer peer(echo_messages);
    const int fd = peer.port() != 0 ? connect_plain(peer.port()) : -1;
    if (fd < 0) {
        skip(state, "connect", errno);
        return;
    }
    char out[kMessage], in[kMessage];
    std::memset(out, 'r', sizeof out);
    for (auto _ : state) {
        ++out[0];
        if (!send_all(fd, out, sizeof out) || !recv_all(fd, in, sizeof in) || std::memcmp(in, out, sizeof in) != 0) {
            skip(state, "send/recv", errno);
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_TcpRoundTrip_plain)->UseRealTime();

// ---- UDP round trip ------------------------------------------------------------

// Echoes every datagram to its sender until `stop` is set (the peer's
// receive time-out lets it look now and then).
class UdpEcho {
public:
    UdpEcho() : fd_(bound_socket(SOCK_DGRAM)) {
        if (fd_ < 0) return;
        port_ = local_port(fd_);
        timeval tv{};
        tv.tv_usec = 100000;
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] {
            char buffer[2048];
            while (!stop_.load()) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &len);
                if (got > 0)
                    sendto(fd_, buffer, static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr *>(&from), len);
            }
        });
    }
    ~UdpEcho() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    std::uint16_t port() const { return port_; }

private:
    int fd_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_UdpRoundTrip_kez(benchmark::State &state) {
    UdpEcho echo;
    unsigned channel = 0;
    const int created = echo.port() != 0 ? CreateUDPChannel(0, &channel) : -1;
    if (created != 0) {
        skip(state, "CreateUDPChannel", created);
        return;
    }
    char out[kMessage], in[kMessage];
    std::memset(out, 'u', sizeof out);
    for (auto _ : state) {
        ++out[0];
        int status = UDPWrite(channel, echo.port(), "127.0.0.1", out, sizeof out);
        if (status == 0) status = UDPRead(channel, in, sizeof in, kTimeoutMs, nullptr, nullptr);
        if (status != static_cast<int>(sizeof in) || std::memcmp(in, out, sizeof in) != 0) {
            skip(state, "UDPWrite/UDPRead", status);
            break;
        }
    }
    DisposeUDPChannel(channel);
}
BENCHMARK(BM_UdpRoundTrip_kez)->UseRealTime();

void BM_UdpRoundTrip_plain(benchmark::State &state) {
    UdpEcho echo;
    const int fd = echo.port() != 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
    if (fd < 0) {
        skip(state, "socket", errno);
        return;
    }
    set_receive_timeout(fd, kPeerTimeoutS);
    const sockaddr_in to = loopback(echo.port());
    char out[kMessage], in[kMessage];
    std::memset(out, 'u', sizeof out);
    for (auto _ : state) {
        ++out[0];
        if (sendto(fd, out, sizeof out, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) !=
                static_cast<ssize_t>(sizeof out) ||
            recvfrom(fd, in, sizeof in, 0, nullptr, nullptr) != static_cast<ssize_t>(sizeof in) ||
            std::memcmp(in, out, sizeof in) != 0) {
            skip(state, "sendto/recvfrom", errno);
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_UdpRoundTrip_plain)->UseRealTime();

// ---- the ratios ------------------------------------------------------------------

class RatioReporter : public MedianTimesReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n");
        // Throughput is bytes per time: the anchor's time over the engine's.
        const double kez_bytes = time_["BM_TcpThroughput_kez"], plain_bytes = time_["BM_TcpThroughput_plain"];
        if (kez_bytes > 0 && plain_bytes > 0) {
            const double ratio = plain_bytes / kez_bytes;
            std::printf("TCP throughput, 64 KiB writes: kez %.0f MB/s, plain %.0f MB/s; kez/plain %.2fx (goal >= 0.8x) %s\n",
                        mb_per_s(kez_bytes), mb_per_s(plain_bytes), ratio, ratio >= 0.8 ? "met" : "MISSED");
        }
        round_trip("TCP round trip, 64 bytes", "BM_TcpRoundTrip_kez", "BM_TcpRoundTrip_plain");
        round_trip("UDP round trip, 64 bytes", "BM_UdpRoundTrip_kez", "BM_UdpRoundTrip_plain");
    }

private:
    // Times are in the runs' unit, nanoseconds by default.
    static double mb_per_s(double ns_per_round) { return static_cast<double>(kRoundBytes) / ns_per_round * 1e3; }
    void round_trip(const char *what, const char *kez_name, const char *plain_name) {
        const double kez = time_[kez_name], plain = time_[plain_name];
        if (kez <= 0 || plain <= 0) return;
        const double ratio = kez / plain;
        std::printf("%s: kez %.1f us, plain %.1f us; kez/plain %.2fx (goal <= 1.5x) %s\n", what, kez / 1e3,
                    plain / 1e3, ratio, ratio <= 1.5 ? "met" : "MISSED");
    }
};

// ---- idle read ---------------------------------------------------------------------

// A read that waits 1 s on a connection where nothing arrives must time out
// and cost the process next to no CPU time. False when the read did not end
// by its time-out.
bool run_idle_read() {
    constexpr unsigned kIdleMs = 1000;
    constexpr double kNearZeroS = 0.010;
    std::promise<void> done;
    std::shared_future<void> finished = done.get_future().share();
    // The peer keeps the connection open and silent until the reads are over.
    PlainPeer peer([finished](int) { finished.wait(); });
    bool ok = true;
    if (peer.port() == 0) {
        std::printf("idle read: no listener\n");
        done.set_value();
        return false;
    }
    unsigned handle = 0;
    const int connected = ConnectToTCPServer(&handle, peer.port(), "127.0.0.1", nullptr, nullptr, kTimeoutMs);
    const int fd = connect_plain(peer.port());  // the peer takes only the first; this one waits in the backlog
    if (connected != 0 || fd < 0) {
        std::printf("idle read: ConnectToTCPServer %d, plain connect %s\n", connected, fd < 0 ? "failed" : "done");
        ok = false;
    } else {
        char byte = 0;
        double cpu = process_cpu_s(), wall = wall_s();
        const int status = ClientTCPRead(handle, &byte, 1, kIdleMs);
        const double kez_cpu = process_cpu_s() - cpu, kez_wall = wall_s() - wall;

        timeval tv{};
        tv.tv_sec = kIdleMs / 1000;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        cpu = process_cpu_s();
        wall = wall_s();
        const ssize_t plain_status = recv(fd, &byte, 1, 0);
        const double plain_cpu = process_cpu_s() - cpu, plain_wall = wall_s() - wall;

        std::printf("\nidle read, %u ms with nothing arriving: kez ClientTCPRead returned %d after %.3f s using %.4f s "
                    "of process CPU time; plain recv returned %zd after %.3f s using %.4f s (goal: near zero, under "
                    "%.3f s) %s\n",
                    kIdleMs, status, kez_wall, kez_cpu, plain_status, plain_wall, plain_cpu, kNearZeroS,
                    kez_cpu < kNearZeroS ? "met" : "MISSED");
        if (status != kTCP_TimeOutErr || kez_wall < 0.9 * kIdleMs / 1000.0) {
            std::printf("idle read: expected the time-out (%d) after %u ms\n", kTCP_TimeOutErr, kIdleMs);
            ok = false;
        }
    }
    if (fd >= 0) close(fd);
    if (connected == 0) DisconnectFromTCPServer(handle);
    done.set_value();
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool ok = run_idle_read();
    benchmark::Shutdown();
    return ok ? 0 : 1;
}
