// The TCP library against a peer that is not the engine: a Python program
// on loopback half-closes, resets and streams, and a client thread with
// plain sockets drives a thousand connections at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/runtime.h"
#include "kez/tcp.h"
#include "os/captured_process.h"
#include "os/os.h"
#include "os/socket.h"
#include "support/eventually.h"
#include "support/socket_peer.h"
#include "support/watchdog.h"

namespace {

namespace net = kez::os::net;
using kez::test::eventually;
using kez::test::pattern_byte;
using kez::test::SocketPeer;
using kez::test::Watchdog;
using namespace std::chrono_literals;

struct Seen {
    unsigned handle;
    int type;
    int error;
};

// Reads whatever each data event offers; records events and bytes.
struct Reader {
    std::vector<Seen> events;
    std::vector<unsigned char> data;
    bool server = true;
};

int read_on_event(unsigned handle, int type, int error, void *context) {
    auto *r = static_cast<Reader *>(context);
    r->events.push_back(Seen{handle, type, error});
    if (type == TCP_DATAREADY) {
        unsigned char buffer[8192];
        const int n = r->server ? ServerTCPRead(handle, buffer, sizeof buffer, 1000)
                                : ClientTCPRead(handle, buffer, sizeof buffer, 1000);
        if (n > 0) r->data.insert(r->data.end(), buffer, buffer + n);
    }
    return 0;
}

int count(const Reader &r, int type) {
    int n = 0;
    for (const Seen &s : r.events) n += s.type == type ? 1 : 0;
    return n;
}

template <class Pred>
bool pump_until(Pred done, std::chrono::milliseconds limit = 20s) {
    return eventually(
        [&] {
            ProcessSystemEvents();
            return done();
        },
        limit);
}

// Wine 8's server reads a socket's pending error for its own readiness
// checks, which takes a reset from the socket: recv then sees a plain end.
bool resets_reach_the_program() {
    kez::os::Module ntdll = kez::os::module_if_loaded("ntdll.dll");
    return ntdll == nullptr || kez::os::module_symbol(ntdll, "wine_get_version") == nullptr;
}

class TcpPeer : public ::testing::Test {
protected:
    void SetUp() override {
        std::uint16_t version = 0;
        ASSERT_EQ(net::startup(&version), 0);  // the test's own binding, for the peer's control line
        peer = std::make_unique<SocketPeer>();
        ASSERT_TRUE(peer->ok()) << "the Python peer did not start";
    }
    void TearDown() override {
        peer.reset();
        net::cleanup();
    }
    std::unique_ptr<SocketPeer> peer;
};

// The peer sends, then half-closes: every byte arrives, then exactly one
// disconnect event. In manual mode the connection stays until the program
// closes it: reads give the end, writes "disconnect pending".
TEST_F(TcpPeer, HalfCloseDeliversAllDataThenOneDisconnect) {
    Watchdog watchdog(120s, "half-close");
    for (const int mode : {TCP_DISCONNECT_AUTO, TCP_DISCONNECT_MANUAL}) {
        Reader reader;
        const int port = RegisterTCPServer(0, read_on_event, &reader);
        ASSERT_GT(port, 0);
        const long id = peer->number("connect " + std::to_string(port));
        ASSERT_GT(id, 0) << peer->last_reply;
        ASSERT_TRUE(pump_until([&] { return count(reader, TCP_CONNECT) == 1; }));
        const unsigned h = reader.events[0].handle;
        ASSERT_EQ(SetTCPDisconnectMode(h, mode), 0);
        const int size = 300000;
        ASSERT_EQ(peer->number("send " + std::to_string(id) + " " + std::to_string(size) + " 11"), size);
        ASSERT_EQ(peer->command("shutdown " + std::to_string(id)), "OK");
        ASSERT_TRUE(pump_until([&] { return count(reader, TCP_DISCONNECT) > 0; })) << mode;
        for (int i = 0; i < 5; ++i) ProcessSystemEvents();
        EXPECT_EQ(count(reader, TCP_DISCONNECT), 1);
        ASSERT_EQ(reader.data.size(), static_cast<size_t>(size)) << mode;
        size_t wrong = 0;
        for (size_t i = 0; i < reader.data.size(); ++i) wrong += reader.data[i] != pattern_byte(i, 11) ? 1 : 0;
        EXPECT_EQ(wrong, 0u);
        char c = 'x';
        if (mode == TCP_DISCONNECT_MANUAL) {
            EXPECT_EQ(ServerTCPRead(h, &c, 1, 100), kTCP_ConnectionClosed);
            EXPECT_EQ(ServerTCPWrite(h, &c, 1, 100), kTCP_DisconnectPending);
            EXPECT_EQ(DisconnectTCPClient(h), 0);
        }
        EXPECT_EQ(ServerTCPRead(h, &c, 1, 100), kTCP_NoConnectionEstablished);
        EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(port)), 0);
        peer->command("close " + std::to_string(id));
    }
}

TEST_F(TcpPeer, PeerResetIsADisconnectWithTheSystemsReason) {
    Watchdog watchdog(60s, "reset");
    const std::vector<std::string> listening = peer->ask("listen");
    ASSERT_EQ(listening.size(), 2u) << peer->last_reply;
    const std::string &listener_id = listening[0];
    const long port = std::strtol(listening[1].c_str(), nullptr, 10);
    Reader reader;
    reader.server = false;
    unsigned h = 0;
    ASSERT_EQ(ConnectToTCPServer(&h, static_cast<unsigned>(port), "127.0.0.1", read_on_event, &reader, 5000), 0);
    const long id = peer->number("accepted " + listener_id + " 5000");
    ASSERT_GT(id, 0) << peer->last_reply;
    ASSERT_EQ(peer->command("reset " + std::to_string(id)), "OK");
    ASSERT_TRUE(pump_until([&] { return count(reader, TCP_DISCONNECT) == 1; }));
    const Seen last = reader.events.back();
    EXPECT_EQ(last.handle, h);
    if (resets_reach_the_program()) {
        EXPECT_EQ(last.error, kTCP_GeneralIOErr);
        EXPECT_STREQ(GetTCPSystemErrorString(), "WSAECONNRESET: Connection reset by peer");
    } else {
        EXPECT_EQ(last.error, 0);
    }
    EXPECT_STREQ(GetTCPSystemErrorString(), "No error");
    EXPECT_EQ(DisconnectFromTCPServer(h), kTCP_NoConnectionEstablished);  // automatic mode closed it
}

// A thousand connections at once, each a stream of numbered 4-byte words
// that the engine's server echoes from its callbacks; the client thread
// (plain sockets) checks that every word comes back once and in order.
TEST_F(TcpPeer, AThousandClientsGetEveryNumberedEchoInOrder) {
    Watchdog watchdog(600s, "thousand clients");
    constexpr int kClients = 1000;
    constexpr std::uint32_t kWords = 1000;  // per client: 10^6 echoes in all
    ASSERT_TRUE(kez::os::raise_descriptor_limit(4096)) << "the test needs 4096 descriptors";

    struct Echo {
        unsigned thread = KezTest_CurrentThreadId();
        bool inside = false;  // the server thread is in ProcessSystemEvents
        int misplaced = 0;    // callbacks elsewhere
        int connects = 0;
    } echo;
    auto callback = [](unsigned handle, int type, int, void *context) -> int {
        auto *e = static_cast<Echo *>(context);
        if (KezTest_CurrentThreadId() != e->thread || !e->inside) ++e->misplaced;
        if (type == TCP_CONNECT) ++e->connects;
        if (type != TCP_DATAREADY) return 0;
        unsigned char buffer[4096];
        const int n = ServerTCPRead(handle, buffer, sizeof buffer, 1000);
        for (int done = 0; n > 0 && done < n;) {
            const int w = ServerTCPWrite(handle, buffer + done, static_cast<size_t>(n - done), 5000);
            if (w <= 0) break;
            done += w;
        }
        return 0;
    };
    const int port = RegisterTCPServer(0, callback, &echo);
    ASSERT_GT(port, 0);

    std::atomic<bool> finished{false};
    std::atomic<long long> wrong{0};
    std::atomic<long long> echoed{0};
    std::atomic<int> failures{0};
    std::thread clients([&] {
        struct Client {
            net::Socket socket = net::kInvalidSocket;
            std::uint32_t sent = 0;      // words
            std::uint32_t received = 0;  // bytes
            unsigned char partial[4] = {};
        };
        std::vector<Client> all(kClients);
        for (Client &c : all) {
            if (net::open(net::Kind::stream, &c.socket) != 0 || net::set_nonblocking(c.socket) != 0) {
                failures.fetch_add(1);
                c.socket = net::kInvalidSocket;
                continue;
            }
            const int e = net::connect(c.socket, kez::test::kLoopback, static_cast<std::uint16_t>(port));
            if (e != 0 && e != net::kWsaWouldBlock) failures.fetch_add(1);
        }
        std::vector<net::PollEntry> entries(kClients);
        const std::uint64_t deadline = kez::os::tick_count_ms() + 500000;
        long long done_clients = 0;
        while (done_clients < kClients && kez::os::tick_count_ms() < deadline) {
            for (int i = 0; i < kClients; ++i) {
                const Client &c = all[static_cast<size_t>(i)];
                unsigned want = c.received < kWords * 4 ? net::kReadable : 0u;
                if (c.sent < kWords) want |= net::kWritable;
                entries[static_cast<size_t>(i)] = net::PollEntry{c.socket, want, 0};
            }
            int ready = 0;
            if (net::poll(entries.data(), entries.size(), 100, &ready) != 0) {
                failures.fetch_add(1);
                break;
            }
            for (int i = 0; i < kClients; ++i) {
                Client &c = all[static_cast<size_t>(i)];
                const unsigned got = entries[static_cast<size_t>(i)].got;
                if ((got & net::kWritable) != 0 && c.sent < kWords) {
                    std::uint32_t words[64];
                    const std::uint32_t n = std::min<std::uint32_t>(64, kWords - c.sent);
                    for (std::uint32_t k = 0; k < n; ++k) words[k] = (static_cast<std::uint32_t>(i) << 20) | (c.sent + k);
                    std::size_t sent = 0;
                    // Whole words only: the rest of a cut word would follow out of turn.
                    if (net::send(c.socket, words, n * 4, &sent) == 0) {
                        if (sent % 4 != 0) failures.fetch_add(1);
                        c.sent += static_cast<std::uint32_t>(sent / 4);
                    }
                }
                if ((got & net::kReadable) != 0 && c.received < kWords * 4) {
                    unsigned char buffer[4096];
                    std::size_t n = 0;
                    const int e = net::recv(c.socket, buffer, sizeof buffer, false, &n);
                    if (e == net::kWsaWouldBlock) continue;
                    if (e != 0 || n == 0) {
                        failures.fetch_add(1);
                        c.received = kWords * 4;
                        ++done_clients;
                        continue;
                    }
                    for (std::size_t k = 0; k < n; ++k) {
                        const std::uint32_t at = c.received + static_cast<std::uint32_t>(k);
                        c.partial[at % 4] = buffer[k];
                        if (at % 4 != 3) continue;
                        std::uint32_t word = 0;
                        std::memcpy(&word, c.partial, 4);
                        if (word != ((static_cast<std::uint32_t>(i) << 20) | (at / 4))) wrong.fetch_add(1);
                        echoed.fetch_add(1);
                    }
                    c.received += static_cast<std::uint32_t>(n);
                    if (c.received >= kWords * 4) ++done_clients;
                }
            }
        }
        for (Client &c : all)
            if (c.socket != net::kInvalidSocket) net::close(c.socket);
        finished.store(true);
    });
    while (!finished.load()) {
        echo.inside = true;
        ProcessSystemEvents();
        echo.inside = false;
        kez::os::sleep_ms(1);
    }
    clients.join();
    echo.inside = true;
    for (int i = 0; i < 20; ++i) ProcessSystemEvents();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(echo.connects, kClients);
    EXPECT_EQ(echoed.load(), static_cast<long long>(kClients) * kWords);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(echo.misplaced, 0);
    EXPECT_EQ(UnregisterTCPServer(static_cast<unsigned>(port)), 0);
}

}  // namespace
