// The socket binding against a peer in another process on 127.0.0.1: the
// Winsock meanings each platform must give (codes, non-blocking accepts,
// resets, cut datagrams, rebinding, the start count) and its fault points.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "os/captured_process.h"
#include "os/fault.h"
#include "os/socket.h"
#include "support/socket_peer.h"
#include "support/watchdog.h"

namespace {

namespace net = kez::os::net;
using kez::test::kLoopback;
using kez::test::SocketPeer;
using kez::test::wait_for;

class Sockets : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(net::startup(&version_), 0); }
    void TearDown() override {
        for (net::Socket s : owned_) net::close(s);
        net::cleanup();
        kez::fault::disarm_all();
    }
    net::Socket open(net::Kind kind) {
        net::Socket s = net::kInvalidSocket;
        EXPECT_EQ(net::open(kind, &s), 0);
        owned_.push_back(s);
        return s;
    }
    // A socket bound to 127.0.0.1 on a port of the system's choice.
    net::Socket bound(net::Kind kind, std::uint16_t *port) {
        const net::Socket s = open(kind);
        EXPECT_EQ(net::bind(s, kLoopback, 0), 0);
        EXPECT_EQ(net::local_name(s, nullptr, port), 0);
        return s;
    }
    // Accepts the peer's connect to listener; asserts it arrives.
    net::Socket accepted(net::Socket listener) {
        EXPECT_NE(wait_for(listener, net::kReadable, 20000) & net::kReadable, 0u);
        net::Socket s = net::kInvalidSocket;
        EXPECT_EQ(net::accept(listener, &s, nullptr, nullptr), 0);
        owned_.push_back(s);
        return s;
    }

    std::uint16_t version_ = 0;
    std::vector<net::Socket> owned_;
    kez::test::Watchdog watchdog_{std::chrono::seconds(120), "socket test"};
};

TEST_F(Sockets, StartGrantsVersionOneOne) { EXPECT_EQ(version_, 0x0101); }

TEST(SocketStart, CallsOutsideAStartFailNotInitialised) {
    net::Socket s = net::kInvalidSocket;
    std::uint32_t address = 0;
    std::size_t count = 0;
    int ready = 0;
    EXPECT_EQ(net::open(net::Kind::stream, &s), net::kWsaNotInitialised);
    ASSERT_EQ(net::startup(nullptr), 0);
    ASSERT_EQ(net::startup(nullptr), 0);
    net::cleanup();  // one start is still in force
    ASSERT_EQ(net::open(net::Kind::datagram, &s), 0);
    EXPECT_EQ(net::close(s), 0);
    net::cleanup();
    EXPECT_EQ(net::open(net::Kind::stream, &s), net::kWsaNotInitialised);
    EXPECT_EQ(net::resolve("localhost", &address, 1, &count), net::kWsaNotInitialised);
    EXPECT_EQ(net::poll(nullptr, 0, 0, &ready), net::kWsaNotInitialised);
    net::cleanup();  // one too many: no effect
    ASSERT_EQ(net::startup(nullptr), 0);
    EXPECT_EQ(net::open(net::Kind::stream, &s), 0);
    EXPECT_EQ(net::close(s), 0);
    net::cleanup();
}

TEST_F(Sockets, ConnectToAClosedPortIsRefusedThroughTheErrorOption) {
    std::uint16_t port = 0;
    net::close(bound(net::Kind::stream, &port));  // a port nobody listens on
    owned_.clear();
    const net::Socket s = open(net::Kind::stream);
    ASSERT_EQ(net::set_nonblocking(s), 0);
    ASSERT_EQ(net::connect(s, kLoopback, port), net::kWsaWouldBlock);
    const unsigned got = wait_for(s, net::kWritable, 20000);
    EXPECT_NE(got & (net::kWritable | net::kFailed), 0u);
    std::uint32_t error = 0;
    ASSERT_EQ(net::get_option(s, net::Option::error, &error), 0);
    EXPECT_EQ(error, static_cast<std::uint32_t>(net::kWsaConnRefused));
}

TEST_F(Sockets, ConnectedStreamCarriesBothWays) {
    SocketPeer peer;
    ASSERT_TRUE(peer.ok());
    const auto listening = peer.ask("listen");
    ASSERT_EQ(listening.size(), 2u) << peer.last_reply;
    const net::Socket s = open(net::Kind::stream);
    ASSERT_EQ(net::connect(s, kLoopback, static_cast<std::uint16_t>(std::stoi(listening[1]))), 0);
    const long id = peer.number("accepted " + listening[0] + " 20000");
    ASSERT_GT(id, 0) << peer.last_reply;
    ASSERT_EQ(peer.ask("sink " + std::to_string(id)).size(), 1u);

    std::vector<unsigned char> out(100000);
    unsigned long sum = 0;
    for (std::size_t i = 0; i < out.size(); ++i) sum += out[i] = kez::test::pattern_byte(i, 3);
    for (std::size_t done = 0; done < out.size();) {
        std::size_t sent = 0;
        ASSERT_EQ(net::send(s, out.data() + done, out.size() - done, &sent), 0);
        done += sent;
    }
    const std::string expected = std::to_string(out.size()) + " " + std::to_string(sum);
    std::string counted;
    for (int i = 0; i < 400 && counted != expected; ++i, kez::os::sleep_ms(50)) {
        const auto words = peer.ask("count " + std::to_string(id));
        ASSERT_EQ(words.size(), 2u) << peer.last_reply;
        counted = words[0] + " " + words[1];
    }
    EXPECT_EQ(counted, expected);

    // And back: 300 bytes of the pattern with seed 5, in order.
    ASSERT_EQ(peer.number("send " + std::to_string(id) + " 300 5"), 300);
    std::vector<unsigned char> in;
    while (in.size() < 300) {
        ASSERT_NE(wait_for(s, net::kReadable, 20000), 0u);
        unsigned char chunk[512];
        std::size_t got = 0;
        ASSERT_EQ(net::recv(s, chunk, sizeof chunk, false, &got), 0);
        ASSERT_GT(got, 0u);
        in.insert(in.end(), chunk, chunk + got);
    }
    ASSERT_EQ(in.size(), 300u);
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(in[i], kez::test::pattern_byte(i, 5)) << i;

    // After our own half-close a send is refused as shut down.
    ASSERT_EQ(net::shutdown_send(s), 0);
    std::size_t sent = 99;
    EXPECT_EQ(net::send(s, "x", 1, &sent), net::kWsaShutdown);
    EXPECT_EQ(sent, 0u);
}

// The peer connects to an engine listener; what the engine's receive and
// then a send see after the peer's command. Wine's Winsock reports a reset
// to the receive as the end of the stream, and only the send sees it.
TEST_F(Sockets, AcceptedSocketSeesThePeersEnd) {
    struct Case {
        const char *command;
        int receive_code;
        int send_code;
    };
    const int reset_receive = kez::test::under_wine() ? 0 : net::kWsaConnReset;
    const Case cases[] = {
        {"shutdown", 0, 0}, {"reset", reset_receive, net::kWsaConnReset}, {"close", 0, 0}};
    SocketPeer peer;
    ASSERT_TRUE(peer.ok());
    std::uint16_t port = 0;
    const net::Socket listener = bound(net::Kind::stream, &port);
    ASSERT_EQ(net::listen(listener), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const long id = peer.number("connect " + std::to_string(port));
        ASSERT_GT(id, 0) << peer.last_reply;
        const net::Socket s = accepted(listener);
        unsigned char buffer[16];
        std::size_t got = 99;
        // Accepted sockets do not block.
        EXPECT_EQ(net::recv(s, buffer, sizeof buffer, false, &got), net::kWsaWouldBlock);
        EXPECT_EQ(got, 0u);
        ASSERT_EQ(peer.number("sendhex " + std::to_string(id) + " 616263"), 3);
        ASSERT_NE(wait_for(s, net::kReadable, 20000) & net::kReadable, 0u);
        ASSERT_EQ(net::recv(s, buffer, sizeof buffer, false, &got), 0);
        ASSERT_EQ(got, 3u);
        EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
        ASSERT_EQ(peer.ask(std::string(c.command) + " " + std::to_string(id)).size(), 1u) << peer.last_reply;
        ASSERT_NE(wait_for(s, net::kReadable, 20000) & net::kReadable, 0u);
        got = 99;
        EXPECT_EQ(net::recv(s, buffer, sizeof buffer, false, &got), c.receive_code);
        EXPECT_EQ(got, 0u);
        std::size_t sent = 0;
        EXPECT_EQ(net::send(s, "x", 1, &sent), c.send_code);
    }
}

TEST_F(Sockets, ListenerRebindsAPortRightAfterItsConnectionClosed) {
    SocketPeer peer;
    ASSERT_TRUE(peer.ok());
    std::uint16_t port = 0;
    net::Socket listener = bound(net::Kind::stream, &port);
    ASSERT_EQ(net::listen(listener), 0);
    const long id = peer.number("connect " + std::to_string(port));
    ASSERT_GT(id, 0) << peer.last_reply;
    const net::Socket s = accepted(listener);
    // The engine closes first: its side of the connection waits in TIME_WAIT.
    for (net::Socket o : owned_) EXPECT_EQ(net::close(o), 0);
    owned_.clear();
    (void)s;
    EXPECT_EQ(peer.number("recv " + std::to_string(id) + " 1 20000"), 0) << peer.last_reply;
    ASSERT_EQ(peer.ask("close " + std::to_string(id)).size(), 1u);
    listener = open(net::Kind::stream);
    EXPECT_EQ(net::bind(listener, kLoopback, port), 0);
    EXPECT_EQ(net::listen(listener), 0);
}

TEST_F(Sockets, DatagramLongerThanTheBufferIsCut) {
    SocketPeer peer;
    ASSERT_TRUE(peer.ok());
    std::uint16_t port = 0;
    const net::Socket s = bound(net::Kind::datagram, &port);
    ASSERT_EQ(net::set_nonblocking(s), 0);
    const auto udp = peer.ask("udp");
    ASSERT_EQ(udp.size(), 2u) << peer.last_reply;
    const std::string send = "udpsend " + udp[0] + " 127.0.0.1 " + std::to_string(port) + " 100 9";
    unsigned char buffer[200];
    std::size_t got = 0;
    std::uint16_t source = 0;
    for (const bool peek : {true, false}) {
        SCOPED_TRACE(peek ? "peek" : "take");
        ASSERT_EQ(peer.number(send), 100);
        ASSERT_NE(wait_for(s, net::kReadable, 20000) & net::kReadable, 0u);
        EXPECT_EQ(net::receive_from(s, buffer, 10, peek, &got, nullptr, &source), net::kWsaMsgSize);
        EXPECT_EQ(got, 10u);
        for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(buffer[i], kez::test::pattern_byte(i, 9));
        // A peek leaves the whole datagram queued; a cut take loses its rest.
        const int next = net::receive_from(s, buffer, sizeof buffer, false, &got, nullptr, &source);
        EXPECT_EQ(next, peek ? 0 : net::kWsaWouldBlock);
        EXPECT_EQ(got, peek ? 100u : 0u);
        if (peek) {
            EXPECT_EQ(std::to_string(source), udp[1]);
        }
    }
}

TEST_F(Sockets, LargestDatagramGoesOneMoreIsTooLong) {
    SocketPeer peer;
    ASSERT_TRUE(peer.ok());
    const auto udp = peer.ask("udp");
    ASSERT_EQ(udp.size(), 2u) << peer.last_reply;
    const auto port = static_cast<std::uint16_t>(std::stoi(udp[1]));
    const net::Socket s = open(net::Kind::datagram);
    ASSERT_EQ(net::set_option(s, net::Option::send_buffer, 1u << 20), 0);
    const std::vector<unsigned char> data(65508, 0x5a);
    std::size_t sent = 0;
    ASSERT_EQ(net::send_to(s, data.data(), 65507, kLoopback, port, &sent), 0);
    EXPECT_EQ(sent, 65507u);
    EXPECT_EQ(net::send_to(s, data.data(), 65508, kLoopback, port, &sent), net::kWsaMsgSize);
    EXPECT_EQ(sent, 0u);
    const auto got = peer.ask("udprecv " + udp[0] + " 20000");
    ASSERT_EQ(got.size(), 3u) << peer.last_reply;
    EXPECT_EQ(got[0], "65507");
}

TEST_F(Sockets, LocalhostResolvesToLoopback) {
    std::uint32_t addresses[8] = {};
    std::size_t count = 0;
    ASSERT_EQ(net::resolve("localhost", addresses, 8, &count), 0);
    ASSERT_GT(count, 0u);
    bool found = false;
    for (std::size_t i = 0; i < count && i < 8; ++i) found = found || addresses[i] == kLoopback;
    EXPECT_TRUE(found);
    EXPECT_EQ(net::resolve("no-such-host.invalid", addresses, 8, &count), net::kWsaHostNotFound);
}

// Far more sockets than an fd_set or select's descriptor limit holds: only
// the one with a datagram queued is readable.
TEST_F(Sockets, PollWatchesOverElevenHundredSockets) {
    constexpr std::size_t kCount = 1100;
    if (!kez::os::raise_descriptor_limit(kCount + 64))
        GTEST_SKIP() << "the descriptor limit is below " << kCount + 64 << " and cannot be raised";
    std::vector<net::PollEntry> entries;
    std::uint16_t port = 0;
    for (std::size_t i = 0; i < kCount; ++i)
        entries.push_back({bound(net::Kind::datagram, &port), net::kReadable, 99});
    const net::Socket sender = open(net::Kind::datagram);
    std::size_t sent = 0;
    ASSERT_EQ(net::send_to(sender, "x", 1, kLoopback, port, &sent), 0);  // the last one's port
    int ready = 0;
    ASSERT_EQ(net::poll(entries.data(), entries.size(), 20000, &ready), 0);
    EXPECT_EQ(ready, 1);
    for (std::size_t i = 0; i < kCount; ++i)
        ASSERT_EQ(entries[i].got, i + 1 == kCount ? static_cast<unsigned>(net::kReadable) : 0u) << i;
}

TEST_F(Sockets, PollOfAClosedSocketIsNotASocket) {
    net::Socket s = net::kInvalidSocket;
    ASSERT_EQ(net::open(net::Kind::datagram, &s), 0);
    ASSERT_EQ(net::close(s), 0);
    net::PollEntry entry{s, net::kReadable, 0};
    int ready = 0;
    EXPECT_EQ(net::poll(&entry, 1, 0, &ready), net::kWsaNotSock);
}

#if defined(KEZ_TEST_HOOKS)
// Each fault point, armed once: with 0 the call's documented typical code,
// otherwise the armed one; the next call goes through.
TEST_F(Sockets, FaultPointsReportTheirCodes) {
    struct Case {
        const char *point;
        unsigned armed;
        int expected;
    };
    const Case cases[] = {
        {"os.net_load", 0, net::kWsaSysNotReady},     {"os.net_startup", 0, net::kWsaSysNotReady},
        {"os.net_startup", 10092, 10092},             {"os.net_socket", 0, net::kWsaMFile},
        {"os.net_bind", 0, net::kWsaAddrInUse},       {"os.net_listen", 0, net::kWsaAddrInUse},
        {"os.net_connect", 0, net::kWsaConnRefused},  {"os.net_accept", net::kWsaConnAborted, net::kWsaConnAborted},
        {"os.net_send", 0, net::kWsaConnReset},       {"os.net_recv", net::kWsaTimedOut, net::kWsaTimedOut},
        {"os.net_sendto", 0, net::kWsaNoBufs},        {"os.net_recvfrom", 0, net::kWsaConnReset},
        {"os.net_setsockopt", 0, net::kWsaNoProtoOpt}, {"os.net_getsockopt", 0, net::kWsaNoProtoOpt},
        {"os.net_getsockname", 0, net::kWsaInval},    {"os.net_shutdown", 0, net::kWsaNotConn},
        {"os.net_poll", 0, net::kWsaNotSock},         {"os.net_ioctl", 0, net::kWsaNotSock},
        {"os.net_gethostname", 0, net::kWsaFault},    {"os.net_resolve", 0, net::kWsaHostNotFound},
        {"os.net_reverse_resolve", 0, net::kWsaHostNotFound}, {"os.net_close", 0, net::kWsaNotSock},
    };
    std::uint16_t port = 0;
    const net::Socket udp = bound(net::Kind::datagram, &port);
    const net::Socket tcp = open(net::Kind::stream);
    ASSERT_EQ(net::set_nonblocking(tcp), 0);
    ASSERT_EQ(net::set_nonblocking(udp), 0);
    // One call per point; a second call checks that the point let it pass.
    auto call = [&](const std::string &point) -> int {
        net::Socket s = net::kInvalidSocket;
        std::uint32_t value = 0;
        std::size_t n = 0;
        int ready = 0;
        char text[256];
        std::uint16_t version = 0;
        if (point == "os.net_load" || point == "os.net_startup") {
            const int e = net::startup(&version);
            if (e == 0) net::cleanup();
            return e;
        }
        if (point == "os.net_socket") {
            const int e = net::open(net::Kind::stream, &s);
            if (e == 0) net::close(s);
            return e;
        }
        if (point == "os.net_close") {
            EXPECT_EQ(net::open(net::Kind::datagram, &s), 0);
            const int e = net::close(s);
            if (e != 0) {
                EXPECT_EQ(net::close(s), 0);  // the armed failure left it open
            }
            return e;
        }
        if (point == "os.net_bind") return net::bind(tcp, kLoopback, 0);
        if (point == "os.net_listen") return net::listen(tcp);
        if (point == "os.net_connect") return net::connect(udp, kLoopback, port);
        if (point == "os.net_accept") return net::accept(tcp, &s, nullptr, nullptr);
        if (point == "os.net_send") return net::send(udp, "x", 1, &n);
        if (point == "os.net_recv") return net::recv(udp, text, sizeof text, true, &n);
        if (point == "os.net_sendto") return net::send_to(udp, "x", 1, kLoopback, port, &n);
        if (point == "os.net_recvfrom") return net::receive_from(udp, text, sizeof text, true, &n, nullptr, nullptr);
        if (point == "os.net_setsockopt") return net::set_option(udp, net::Option::broadcast, 1);
        if (point == "os.net_getsockopt") return net::get_option(udp, net::Option::broadcast, &value);
        if (point == "os.net_getsockname") return net::local_name(udp, &value, &port);
        if (point == "os.net_shutdown") return net::shutdown_send(udp);
        if (point == "os.net_poll") {
            net::PollEntry e{udp, net::kWritable, 0};
            return net::poll(&e, 1, 0, &ready);
        }
        if (point == "os.net_ioctl") return net::set_nonblocking(udp);
        if (point == "os.net_gethostname") return net::host_name(text, sizeof text);
        if (point == "os.net_resolve") return net::resolve("localhost", &value, 1, &n);
        return net::reverse_resolve(kLoopback, text, sizeof text);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.point);
        kez::fault::arm(c.point, 1, 0, c.armed);
        EXPECT_EQ(call(c.point), c.expected);
        EXPECT_NE(call(c.point), c.expected);
    }
}
#endif

}  // namespace
