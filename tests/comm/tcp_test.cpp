// The TCP library through its exports: servers and clients of the engine
// talking to each other on loopback, codes and texts, events on the owner
// thread, closing under concurrent use, and failures injected into the
// socket binding.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/runtime.h"
#include "kez/tcp.h"
#include "os/captured_process.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/watchdog.h"

namespace {

using kez::test::eventually;
using kez::test::Watchdog;
using namespace std::chrono_literals;

struct Seen {
    unsigned handle;
    int type;
    int error;
};

// Records every event and the thread it came on.
struct Recorder {
    std::mutex mutex;
    std::vector<Seen> events;
    unsigned thread = KezTest_CurrentThreadId();
    std::atomic<int> foreign{0};
    bool echo = false;     // data events are read and written back
    bool client = false;   // which read and write functions echo uses
    std::atomic<long long> echoed{0};

    int count(int type) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const Seen &s : events) n += s.type == type ? 1 : 0;
        return n;
    }
    Seen last(int type) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->type == type) return *it;
        return Seen{~0u, 0, 0};
    }
};

int record(unsigned handle, int type, int error, void *data) {
    auto *r = static_cast<Recorder *>(data);
    if (KezTest_CurrentThreadId() != r->thread) r->foreign.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->events.push_back(Seen{handle, type, error});
    }
    if (r->echo && type == TCP_DATAREADY) {
        char buffer[4096];
        const int n = r->client ? ClientTCPRead(handle, buffer, sizeof buffer, 1000)
                                : ServerTCPRead(handle, buffer, sizeof buffer, 1000);
        if (n > 0) {
            const int w = r->client ? ClientTCPWrite(handle, buffer, static_cast<size_t>(n), 1000)
                                    : ServerTCPWrite(handle, buffer, static_cast<size_t>(n), 1000);
            if (w > 0) r->echoed.fetch_add(w);
        }
    }
    return 0;
}

template <class Pred>
bool pump_until(Pred done, std::chrono::milliseconds limit = 10s) {
    return eventually(
        [&] {
            ProcessSystemEvents();
            return done();
        },
        limit);
}

// A server of the engine on a free port, unregistered at the end.
struct Server {
    Recorder recorder;
    int port = 0;
    explicit Server(bool echo = false) {
        recorder.echo = echo;
        port = RegisterTCPServer(0, record, &recorder);
    }
    ~Server() {
        if (port > 0) UnregisterTCPServer(static_cast<unsigned>(port));
    }
    unsigned accepted() {
        pump_until([&] { return recorder.count(TCP_CONNECT) > 0; });
        return recorder.last(TCP_CONNECT).handle;
    }
};

std::string system_error() { return GetTCPSystemErrorString(); }

TEST(TcpTexts, EveryCodeHasItsTextAndOthersNone) {
    const char *expected[] = {"No Error",
                              "Unable to register service",
                              "Unable to establish connection",
                              "Existing server",
                              "Failed to connect",
                              "Server not registered",
                              "Too many connections",
                              "Read failed",
                              "Write failed",
                              "Invalid parameter",
                              "Insufficient memory",
                              "Timeout error",
                              "No connection established",
                              "General IO error",
                              "Connection closed",
                              "Unable to load Winsock DLL",
                              "Incorrect Winsock DLL version",
                              "Network subsystem not ready",
                              "Connections still open",
                              "Disconnect pending",
                              "Information not available",
                              "Host address was not found"};
    for (int code = 0; code >= -21; --code) EXPECT_STREQ(GetTCPErrorString(code), expected[-code]) << code;
    EXPECT_EQ(GetTCPErrorString(-22), nullptr);
    EXPECT_EQ(GetTCPErrorString(1), nullptr);
}

TEST(TcpServer, PortZeroChoosesOneAndASecondServerThereIsRefused) {
    Server server;
    ASSERT_GT(server.port, 0);
    Recorder other;
    EXPECT_EQ(RegisterTCPServer(static_cast<unsigned>(server.port), record, &other), kTCP_ExistingServer);
    EXPECT_EQ(RegisterTCPServerEx(static_cast<unsigned>(server.port), record, &other, "127.0.0.1"),
              kTCP_ExistingServer);
    EXPECT_EQ(RegisterTCPServer(65536, record, &other), kTCP_InvalidParameter);
    EXPECT_EQ(UnregisterTCPServer(1), kTCP_ServerNotRegistered);
    EXPECT_EQ(UnregisterTCPServer(0), kTCP_InvalidParameter);
}

TEST(TcpClient, ArgumentsAreCheckedBeforeAnythingIsMade) {
    Server server;
    unsigned h = 0;
    const unsigned port = static_cast<unsigned>(server.port);
    EXPECT_EQ(ConnectToTCPServer(nullptr, port, "127.0.0.1", nullptr, nullptr, 1000), kTCP_InvalidParameter);
    EXPECT_EQ(ConnectToTCPServer(&h, 0, "127.0.0.1", nullptr, nullptr, 1000), kTCP_InvalidParameter);
    EXPECT_EQ(ConnectToTCPServer(&h, 65536, "127.0.0.1", nullptr, nullptr, 1000), kTCP_InvalidParameter);
    EXPECT_EQ(ConnectToTCPServerEx(&h, port, "127.0.0.1", nullptr, nullptr, 1000, 65536), kTCP_InvalidParameter);
    // The broadcast address is taken as it stands and refused; no lookup.
    EXPECT_EQ(ConnectToTCPServer(&h, port, "255.255.255.255", nullptr, nullptr, 1000), kTCP_HostAddressNotFound);
    EXPECT_EQ(ConnectToTCPServer(&h, port, "no-such-host.invalid", nullptr, nullptr, 1000),
              kTCP_HostAddressNotFound);
    // Dotted texts are decimal: "127.000.000.001" is 127.0.0.1.
    ASSERT_EQ(ConnectToTCPServer(&h, port, "127.000.000.001", nullptr, nullptr, 5000), 0);
    EXPECT_EQ(DisconnectFromTCPServer(h), 0);
}

TEST(TcpClient, RefusedConnectFailsAtOnceWithTheSystemsReason) {
    Watchdog watchdog(30s, "refused connect");
    int port = 0;
    {
        Server gone;
        port = gone.port;
    }
    unsigned h = 0;
    // With a long time-out: a connect that waited for it would trip the watchdog.
    EXPECT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(port), "127.0.0.1", nullptr, nullptr, 60000),
              kTCP_UnableToEstablishConnection);
    EXPECT_EQ(system_error(), "WSAECONNREFUSED: Connection refused");
    EXPECT_EQ(system_error(), "No error");
}

TEST(TcpTransfer, EchoRunsInsideTheClientsWaitingRead) {
    Watchdog watchdog(60s, "echo");
    Server server(true);
    Recorder client;
    unsigned h = 0;
    // An empty host is 127.0.0.1.
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "", record, &client, 5000), 0);
    const char message[] = "numbered 0001";
    ASSERT_EQ(ClientTCPWrite(h, message, sizeof message, 1000), static_cast<int>(sizeof message));
    // The server's connect and data events come on this thread while the
    // read waits; its echo is what the read returns.
    char back[64] = {};
    int got = 0;
    while (got < static_cast<int>(sizeof message)) {
        const int n = ClientTCPRead(h, back + got, sizeof back - static_cast<size_t>(got), 5000);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_STREQ(back, message);
    EXPECT_EQ(server.recorder.count(TCP_CONNECT), 1);
    EXPECT_EQ(server.recorder.foreign.load(), 0);

    char peer[32] = {};
    EXPECT_EQ(GetTCPPeerAddr(h, peer, sizeof peer), 0);
    EXPECT_STREQ(peer, "127.0.0.1");
    EXPECT_EQ(GetTCPHostConnectionAddr(h, peer, sizeof peer), 0);
    EXPECT_STREQ(peer, "127.0.0.1");
    EXPECT_EQ(GetTCPPeerAddr(h, peer, 9), kTCP_InvalidParameter);  // "127.0.0.1" needs 10 bytes
    size_t socket = 0;
    EXPECT_EQ(GetHostTCPSocketHandle(h, &socket), 0);
    EXPECT_NE(socket, 0u);

    // Zero bytes touch nothing; a null buffer and a server's handle are refused.
    EXPECT_EQ(ClientTCPRead(h, back, 0, 10), 0);
    EXPECT_EQ(ClientTCPRead(h, nullptr, 4, 10), kTCP_InvalidParameter);
    EXPECT_EQ(ClientTCPRead(server.accepted(), back, 4, 10), kTCP_NoConnectionEstablished);
    EXPECT_EQ(ClientTCPRead(h, back, 4, 50), kTCP_TimeOutErr);
    EXPECT_EQ(DisconnectTCPClient(h), kTCP_NoConnectionEstablished);
    EXPECT_EQ(DisconnectFromTCPServer(h), 0);
    EXPECT_EQ(DisconnectFromTCPServer(h), kTCP_NoConnectionEstablished);
    EXPECT_EQ(ClientTCPRead(1024, back, 4, 10), kTCP_NoConnectionEstablished);
}

// The server disconnects its client: the client hears it once, as type 2.
// Automatic mode closes the handle; manual mode keeps it, and writes say
// "disconnect pending" until the program disconnects.
TEST(TcpDisconnect, AutomaticClosesTheHandleManualKeepsItPending) {
    Watchdog watchdog(60s, "disconnect modes");
    for (const int mode : {TCP_DISCONNECT_AUTO, TCP_DISCONNECT_MANUAL}) {
        Server server;
        Recorder client;
        unsigned h = 0;
        ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", record, &client, 5000), 0);
        ASSERT_EQ(SetTCPDisconnectMode(h, mode), 0);
        EXPECT_EQ(SetTCPDisconnectMode(h, 2), kTCP_InvalidParameter);
        ASSERT_EQ(DisconnectTCPClient(server.accepted()), 0);
        ASSERT_TRUE(pump_until([&] { return client.count(TCP_DISCONNECT) > 0; })) << mode;
        for (int i = 0; i < 5; ++i) ProcessSystemEvents();
        EXPECT_EQ(client.count(TCP_DISCONNECT), 1) << mode;
        EXPECT_EQ(client.last(TCP_DISCONNECT).error, 0);
        char c = 'x';
        if (mode == TCP_DISCONNECT_AUTO) {
            EXPECT_EQ(ClientTCPWrite(h, &c, 1, 100), kTCP_NoConnectionEstablished);
            EXPECT_EQ(DisconnectFromTCPServer(h), kTCP_NoConnectionEstablished);
        } else {
            EXPECT_EQ(ClientTCPWrite(h, &c, 1, 100), kTCP_DisconnectPending);
            EXPECT_EQ(SetTCPDisconnectMode(h, 0), kTCP_DisconnectPending);
            EXPECT_EQ(ClientTCPRead(h, &c, 1, 100), kTCP_ConnectionClosed);
            EXPECT_EQ(DisconnectFromTCPServer(h), 0);
            EXPECT_EQ(ClientTCPRead(h, &c, 1, 100), kTCP_NoConnectionEstablished);
        }
    }
}

TEST(TcpServer, UnregisteringClosesTheAcceptedConnectionsToo) {
    Watchdog watchdog(60s, "unregister");
    Server server;
    Recorder client;
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", record, &client, 5000), 0);
    const unsigned accepted = server.accepted();
    ASSERT_EQ(UnregisterTCPServer(static_cast<unsigned>(server.port)), 0);
    char c = 0;
    EXPECT_EQ(ServerTCPRead(accepted, &c, 1, 10), kTCP_NoConnectionEstablished);
    EXPECT_TRUE(pump_until([&] { return client.count(TCP_DISCONNECT) == 1; }));
    EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(server.port)), kTCP_ServerNotRegistered);
    server.port = 0;
}

// A slow reader: writes of 64 MiB with short time-outs return what the
// system accepted, and the reader gets exactly the sum of those counts, in
// order.
TEST(TcpTransfer, ShortWritesAddUpToExactlyWhatArrives) {
    Watchdog watchdog(240s, "slow reader");
    Server server;
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", nullptr, nullptr, 5000), 0);
    const unsigned accepted = server.accepted();
    std::atomic<long long> total{-1};
    long long received = 0;
    long long mismatched = 0;
    std::thread reader([&] {
        std::vector<unsigned char> buffer(1 << 16);
        while (received != total.load()) {
            const int n = ServerTCPRead(accepted, buffer.data(), buffer.size(), 200);
            if (n == kTCP_TimeOutErr) continue;
            if (n <= 0) break;
            for (int i = 0; i < n; ++i)
                mismatched += buffer[static_cast<size_t>(i)] != static_cast<unsigned char>((received + i) * 7) ? 1 : 0;
            received += n;
            kez::os::sleep_ms(2);  // slower than the writer
        }
    });
    const size_t size = 64u << 20;
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 7);
    long long sent = 0;
    int short_writes = 0;
    while (sent < static_cast<long long>(size)) {
        const int n = ClientTCPWrite(h, data.data() + sent, size - static_cast<size_t>(sent), 200);
        if (n == kTCP_TimeOutErr) continue;
        ASSERT_GT(n, 0);
        short_writes += n < static_cast<int>(size - static_cast<size_t>(sent)) ? 1 : 0;
        sent += n;
    }
    total.store(sent);
    reader.join();
    EXPECT_EQ(received, static_cast<long long>(size));
    EXPECT_EQ(mismatched, 0);
    EXPECT_GT(short_writes, 0);  // the reader was slow enough to matter
    EXPECT_EQ(DisconnectFromTCPServer(h), 0);
}

// Socket calls that fail give the library's code, and the system's reason
// is the thread's last socket error, with its text.
TEST(TcpFaults, FailedSocketCallsGiveTheirCodesAndTexts) {
    Watchdog watchdog(60s, "faults");
    Server server;
    const unsigned port = static_cast<unsigned>(server.port);
    struct Case {
        const char *point;
        unsigned error;
        int expected;
        const char *text;
    };
    const Case cases[] = {
        {"os.net_socket", 10024, kTCP_UnableToEstablishConnection, "WSAEMFILE: Too many open files"},
        {"os.net_connect", 10051, kTCP_UnableToEstablishConnection, "WSAENETUNREACH: Network is unreachable"},
        {"os.net_bind", 10048, kTCP_UnableToRegisterService, "WSAEADDRINUSE: Address already in use"},
        {"os.net_listen", 10055, kTCP_UnableToRegisterService, "WSAENOBUFS: No buffer space available"},
        {"os.net_recv", 10054, kTCP_ReadFailed, "WSAECONNRESET: Connection reset by peer"},
        {"os.net_send", 10053, kTCP_WriteFailed, "WSAECONNABORTED: Software caused connection abort"},
        {"os.net_recv", 12345, kTCP_ReadFailed, "WSAE_UNKNOWN"},
    };
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, port, "127.0.0.1", nullptr, nullptr, 5000), 0);
    for (const Case &c : cases) {
        char byte = 'x';
        int result = 0;
        KezTest_ArmFaultEx(c.point, 1, 0, c.error);
        const std::string point = c.point;
        if (point == "os.net_socket" || point == "os.net_connect") {
            unsigned other = 0;
            result = ConnectToTCPServer(&other, port, "127.0.0.1", nullptr, nullptr, 1000);
        } else if (point == "os.net_bind" || point == "os.net_listen") {
            result = RegisterTCPServer(0, nullptr, nullptr);
        } else if (point == "os.net_recv") {
            result = ClientTCPRead(h, &byte, 1, 100);
        } else {
            result = ClientTCPWrite(h, &byte, 1, 100);
        }
        KezTest_ArmFault(c.point, 0);
        EXPECT_EQ(result, c.expected) << c.point;
        EXPECT_EQ(system_error(), c.text) << c.point;
    }
    // A failed start of the socket library: the next call starts it again.
    EXPECT_EQ(DisconnectFromTCPServer(h), 0);
    EXPECT_EQ(CloseWinsock(), 0);
    server.port = 0;
    for (const char *point : {"os.net_load", "os.net_startup"}) {
        KezTest_ArmFault(point, 1);
        EXPECT_EQ(RegisterTCPServer(0, nullptr, nullptr), kTCP_UnableToLoadWinsockDLL) << point;
        EXPECT_EQ(system_error(), "WSASYSNOTREADY: Network subsystem is unavailable") << point;
    }
    const int port_again = RegisterTCPServer(0, nullptr, nullptr);
    EXPECT_GT(port_again, 0);
    EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(port_again)), 0);
}

// 1024 slots: a full table refuses with -6, closing what it had made, and
// everything works again once slots are free.
TEST(TcpTable, AFullTableRefusesAndRecovers) {
    Watchdog watchdog(120s, "full table");
    ASSERT_TRUE(kez::os::raise_descriptor_limit(4096)) << "the test needs 4096 descriptors";
    Server server;
    ASSERT_GT(server.port, 0);
    std::vector<unsigned> clients;
    unsigned h = 0;
    // No events are processed meanwhile, so no connection is accepted yet.
    for (int i = 0; i < 1023; ++i) {
        ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", nullptr, nullptr, 5000), 0)
            << i;
        clients.push_back(h);
    }
    EXPECT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", nullptr, nullptr, 5000),
              kTCP_TooManyConnections);
    EXPECT_EQ(RegisterTCPServer(0, nullptr, nullptr), kTCP_TooManyConnections);
    for (const unsigned c : clients) EXPECT_EQ(DisconnectFromTCPServer(c), 0);
    ASSERT_EQ(UnregisterTCPServer(static_cast<unsigned>(server.port)), 0);
    // Everything is free again: a new server and client work end to end.
    Server again;
    ASSERT_GT(again.port, 0);
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(again.port), "127.0.0.1", nullptr, nullptr, 5000), 0);
    const unsigned accepted = again.accepted();
    char c = 'q';
    EXPECT_EQ(ClientTCPWrite(h, &c, 1, 1000), 1);
    char d = 0;
    EXPECT_EQ(ServerTCPRead(accepted, &d, 1, 5000), 1);
    EXPECT_EQ(d, 'q');
    EXPECT_EQ(DisconnectFromTCPServer(h), 0);
}

// Eight threads connect, write, read and disconnect on a shared set of
// handles while a server thread echoes. Every connection carries one byte
// value of its own, so a read that returned another connection's data
// (a socket closed under it and reused by the system) shows at once.
TEST(TcpRaces, SharedHandlesNeverSeeForeignData) {
    Watchdog watchdog(300s, "shared handles");
    std::atomic<int> port{0};
    std::atomic<bool> stop{false};
    Recorder echo;
    echo.echo = true;
    std::thread server([&] {
        echo.thread = KezTest_CurrentThreadId();
        port.store(RegisterTCPServer(0, record, &echo));
        while (!stop.load()) {
            ProcessSystemEvents();
            kez::os::sleep_ms(1);
        }
        UnregisterTCPServer(static_cast<unsigned>(port.load()));
    });
    ASSERT_TRUE(eventually([&] { return port.load() != 0; }));
    ASSERT_GT(port.load(), 0);

    struct Entry {
        bool live = false;
        bool busy = false;
        unsigned handle = 0;
        unsigned char value = 0;
    };
    std::mutex mutex;
    Entry entries[6];
    std::atomic<int> foreign{0};
    std::atomic<int> unexpected{0};
    std::atomic<unsigned> next_value{0};
    auto worker = [&](unsigned seed) {
        for (int i = 0; i < 300; ++i) {
            seed = seed * 1103515245u + 12345u;
            Entry &e = entries[(seed >> 8) % 6];
            const unsigned op = (seed >> 16) % 8;
            std::unique_lock<std::mutex> lock(mutex);
            if (!e.live) {
                if (e.busy) continue;
                e.busy = true;
                lock.unlock();
                unsigned h = 0;
                const int r = ConnectToTCPServer(&h, static_cast<unsigned>(port.load()), "127.0.0.1", nullptr, nullptr,
                                                 5000);
                lock.lock();
                e.busy = false;
                if (r != 0) {
                    unexpected.fetch_add(1);
                    continue;
                }
                e.live = true;
                e.handle = h;
                e.value = static_cast<unsigned char>(1 + next_value.fetch_add(1) % 251);
                continue;
            }
            const unsigned h = e.handle;
            const unsigned char value = e.value;
            if (op == 0) {
                e.live = false;
                lock.unlock();
                const int r = DisconnectFromTCPServer(h);
                if (r != 0 && r != kTCP_NoConnectionEstablished) unexpected.fetch_add(1);
                continue;
            }
            lock.unlock();
            unsigned char out[16];
            std::memset(out, value, sizeof out);
            const int w = ClientTCPWrite(h, out, sizeof out, 200);
            if (w < 0 && w != kTCP_NoConnectionEstablished && w != kTCP_TimeOutErr) unexpected.fetch_add(1);
            unsigned char in[64];
            const int n = ClientTCPRead(h, in, sizeof in, 30);
            for (int k = 0; k < n; ++k) foreign.fetch_add(in[k] != value ? 1 : 0);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < 8; ++t) workers.emplace_back(worker, 7919u * (t + 1));
    for (std::thread &t : workers) t.join();
    for (Entry &e : entries)
        if (e.live) DisconnectFromTCPServer(e.handle);
    stop.store(true);
    server.join();
    EXPECT_EQ(foreign.load(), 0);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(echo.echoed.load(), 0);
    EXPECT_EQ(echo.foreign.load(), 0);
}

// While callbacks are disabled events wait; enabled again, each is
// delivered on its own thread, in the order found, and stopping closes
// every connection.
TEST(TcpRunStates, HeldEventsGoToTheirOwnThreadInOrderAndStopClosesAll) {
    Watchdog watchdog(60s, "run states");
    Server server;
    KezTest_SendTcpRunState(KEZ_RUN_STATE_DISABLE_CALLBACKS);
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "127.0.0.1", nullptr, nullptr, 5000), 0);
    for (int i = 0; i < 20; ++i) {
        ProcessSystemEvents();
        kez::os::sleep_ms(2);
    }
    EXPECT_EQ(server.recorder.count(TCP_CONNECT), 0);
    std::thread other([] {
        KezTest_SendTcpRunState(KEZ_RUN_STATE_ENABLE_CALLBACKS);
        ProcessSystemEvents();
    });
    other.join();
    EXPECT_EQ(server.recorder.count(TCP_CONNECT), 0);  // not delivered on the other thread
    char c = 'z';
    ASSERT_EQ(ClientTCPWrite(h, &c, 1, 1000), 1);
    ASSERT_TRUE(pump_until([&] { return server.recorder.count(TCP_DATAREADY) > 0; }));
    {
        std::lock_guard<std::mutex> lock(server.recorder.mutex);
        ASSERT_GE(server.recorder.events.size(), 2u);
        EXPECT_EQ(server.recorder.events[0].type, TCP_CONNECT);
        EXPECT_EQ(server.recorder.events[1].type, TCP_DATAREADY);
    }
    EXPECT_EQ(server.recorder.foreign.load(), 0);
    const unsigned accepted = server.accepted();
    KezTest_SendTcpRunState(KEZ_RUN_STATE_STOP);
    EXPECT_EQ(ClientTCPWrite(h, &c, 1, 10), kTCP_NoConnectionEstablished);
    EXPECT_EQ(ServerTCPRead(accepted, &c, 1, 10), kTCP_NoConnectionEstablished);
    EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(server.port)), kTCP_ServerNotRegistered);
    server.port = 0;
}

TEST(TcpNames, LocalHostAndPeerQueries) {
    char name[256] = {};
    ASSERT_EQ(GetTCPHostName(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    EXPECT_EQ(GetTCPHostName(name, 0), kTCP_InvalidParameter);
    EXPECT_EQ(GetTCPHostName(nullptr, 16), kTCP_InvalidParameter);
    EXPECT_EQ(GetTCPHostName(name, std::strlen(name)), kTCP_InvalidParameter);  // no room for the end
    char address[16] = {};
    EXPECT_EQ(GetTCPHostAddr(address, sizeof address), 0);
    EXPECT_GT(std::strlen(address), 6u);

    char **addresses = reinterpret_cast<char **>(&name);
    int count = -1;
    EXPECT_EQ(GetAllTCPHostAddresses(&addresses, nullptr), kTCP_InvalidParameter);
    EXPECT_EQ(addresses, nullptr);  // zeroed before the check
    EXPECT_EQ(GetAllTCPHostAddresses(nullptr, &count), kTCP_InvalidParameter);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(GetAllTCPHostAddresses(&addresses, &count), 0);
    ASSERT_GE(count, 1);
    for (int i = 0; i < count; ++i) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        EXPECT_EQ(std::sscanf(addresses[i], "%u.%u.%u.%u", &a, &b, &c, &d), 4) << addresses[i];
    }
    TCPFreeMemory(addresses);

    Server server;
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(server.port), "localhost", nullptr, nullptr, 5000), 0);
    char peer[256] = {};
    char again[256] = {};
    ASSERT_EQ(GetTCPPeerName(h, peer, sizeof peer), 0);
    EXPECT_GT(std::strlen(peer), 0u);
    EXPECT_EQ(GetTCPPeerName(h, again, sizeof again), 0);
    EXPECT_STREQ(peer, again);
    EXPECT_EQ(GetTCPPeerName(h, again, 1), kTCP_InvalidParameter);
    // Closing the socket library closes every connection; it starts again
    // on the next call.
    EXPECT_EQ(CloseWinsock(), 0);
    EXPECT_EQ(GetTCPPeerName(h, peer, sizeof peer), kTCP_NoConnectionEstablished);
    EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(server.port)), kTCP_ServerNotRegistered);
    server.port = 0;
    EXPECT_EQ(GetTCPHostName(name, sizeof name), 0);
}

}  // namespace
