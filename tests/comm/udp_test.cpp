// The UDP library through the engine's exports: its codes and texts at the
// edges, datagrams between channels and with a non-engine peer, disposal
// racing a waiting read, callbacks on the owner thread, concurrent
// creation, fault points, and (in child processes) initialisation
// failures, the configuration file, and broadcast and multicast inside a
// network namespace of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/runtime.h"
#include "kez/udp.h"
#include "os/captured_process.h"
#include "os/os.h"
#include "os/socket.h"
#include "support/latch.h"
#include "support/linked_engine_tap.h"
#include "support/socket_peer.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

namespace net = kez::os::net;
using kez::test::TapReader;

// A channel disposed at the end of its scope.
struct Chan {
    unsigned id = 0;
    Chan() = default;
    explicit Chan(const char *local, unsigned port = 0, int exclusive = 1) {
        EXPECT_EQ(CreateUDPChannelConfig(port, local, exclusive, nullptr, nullptr, &id), 0);
    }
    ~Chan() {
        if (id != 0) DisposeUDPChannel(id);
    }
    unsigned port() const {
        unsigned p = 0;
        EXPECT_EQ(GetUDPAttribute(id, ATTR_UDP_PORT, &p), 0);
        return p;
    }
};

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = kez::test::pattern_byte(i, seed);
    return v;
}

// The warning lines written since the mark, as "function: text".
std::vector<std::string> warnings(const TapReader &tap) {
    std::vector<std::string> out;
    for (const auto &l : tap.since_mark())
        if (l.level == 16) out.push_back(l.function + ": " + l.text);
    return out;
}

TEST(Udp, ErrorStringsAndMessageTable) {
    struct Row {
        int code;
        const char *text;
    };
    const Row rows[] = {
        {-6800, "Invalid channel"},
        {-6803, "The write size specified exceeds the maximum datagram size supported on this platform."},
        {-6809, "The received data was too large for the buffer. Some data was lost."},
        {-6811, "The port has already been reserved for use on this interface."},
        {-6814, "Invalid multicast address. Valid multicast addresses range from 224.0.0.0 to 239.255.255.255"},
        {-6815, "This port or another port on the same interface is already subscribed to that multicast group."},
        {-6820, "Failed to initialize the library"},
        {-6828, "A resource is busy."},
        {-6829, ""},
        {0, ""},
        {-6799, ""},
    };
    for (const Row &r : rows) EXPECT_STREQ(GetUDPErrorString(r.code), r.text) << r.code;
}

TEST(Udp, CreationEdges) {
    struct Row {
        unsigned port;
        const char *local;
        int expected;
    };
    const Row rows[] = {
        {65536, nullptr, kUDP_InvalidPort},
        {0, "224.0.0.1", kUDP_InvalidAddress},
        {0, "239.255.255.255", kUDP_InvalidAddress},
        {0, "255.255.255.255", kUDP_InvalidAddress},
        {0, "0.0.0.0", kUDP_InvalidAddress},
        {0, "127.0.1", kUDP_InvalidAddress},
        {0, "127.0.0.256", kUDP_InvalidAddress},
        {0, "127.0.0.0001", kUDP_InvalidAddress},
        {0, "127.0.0.1.", kUDP_InvalidAddress},
        {0, "no-such-host.invalid", kUDP_HostAddressNotFound},
    };
    for (const Row &r : rows) {
        unsigned ch = 12345;
        EXPECT_EQ(CreateUDPChannelConfig(r.port, r.local, 1, nullptr, nullptr, &ch), r.expected)
            << (r.local ? r.local : "(null)");
        EXPECT_EQ(ch, 12345u);
    }
    EXPECT_EQ(CreateUDPChannel(0, nullptr), kUDP_NullPointerPassed);

    // Dotted numbers are decimal: "010" is ten, not eight.
    Chan decimal("127.0.0.010");
    char text[16] = {};
    EXPECT_EQ(GetUDPAttribute(decimal.id, ATTR_UDP_MULTICAST_INTERFACE, text), 0);
    EXPECT_STREQ(text, "127.0.0.10");
    // An empty number is 0.
    Chan empty("127..0.1");
    EXPECT_EQ(GetUDPAttribute(empty.id, ATTR_UDP_MULTICAST_INTERFACE, text), 0);
    EXPECT_STREQ(text, "127.0.0.1");

    Chan any;
    ASSERT_EQ(CreateUDPChannel(0, &any.id), 0);
    EXPECT_GT(any.port(), 0u);
    size_t socket = 0;
    EXPECT_EQ(GetUDPSocketHandle(any.id, &socket), 0);
    EXPECT_NE(socket, static_cast<uintptr_t>(net::kInvalidSocket));
    EXPECT_EQ(GetUDPSocketHandle(any.id, nullptr), kUDP_NullPointerPassed);
    EXPECT_EQ(GetUDPSocketHandle(0, &socket), kUDP_InvalidChannel);
    EXPECT_EQ(GetUDPSocketHandle(any.id + 1000, &socket), kUDP_InvalidChannel);
}

TEST(Udp, ExclusiveAndSharedPorts) {
    Chan first("127.0.0.1");
    unsigned second = 0;
    EXPECT_EQ(CreateUDPChannelConfig(first.port(), "127.0.0.1", 1, nullptr, nullptr, &second), kUDP_PortInUse);
    Chan a("127.0.0.1", 0, 0);
    Chan b("127.0.0.1", a.port(), 0);
    EXPECT_EQ(b.port(), a.port());
    EXPECT_NE(b.id, a.id);
}

TEST(Udp, ReadsAndWrites) {
    Chan rx("127.0.0.1");
    Chan tx("127.0.0.1");
    const unsigned port = rx.port();
    std::vector<unsigned char> buf(70000);

    EXPECT_EQ(UDPRead(rx.id, buf.data(), 100, UDP_DO_NOT_WAIT, nullptr, nullptr), 0);
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 100, 30, nullptr, nullptr), kUDP_TimeoutErr);
    EXPECT_EQ(UDPWrite(tx.id, port, "127.0.0.1", buf.data(), 0), 0);  // nothing is sent
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 100, UDP_DO_NOT_WAIT, nullptr, nullptr), 0);

    // The largest datagram, peeked (it stays), then read with its source.
    const auto big = pattern(65507, 3);
    ASSERT_EQ(UDPWrite(tx.id, port, "127.0.0.1", big.data(), 65507), 0);
    EXPECT_EQ(UDPRead(rx.id, nullptr, 0, 2000, nullptr, nullptr), 65507);
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 0, 2000, nullptr, nullptr), 65507);
    unsigned source_port = 0;
    char source[UDP_ADDRESS_BUFFER_SIZE] = {};
    ASSERT_EQ(UDPRead(rx.id, buf.data(), 70000, 2000, &source_port, source), 65507);
    EXPECT_EQ(std::memcmp(buf.data(), big.data(), big.size()), 0);
    EXPECT_EQ(source_port, tx.port());
    EXPECT_STREQ(source, "127.0.0.1");
    EXPECT_EQ(UDPWrite(tx.id, port, "127.0.0.1", big.data(), 65508), kUDP_WriteSizeTooLarge);

    // A datagram longer than the buffer is lost.
    ASSERT_EQ(UDPWrite(tx.id, port, "localhost", big.data(), 300), 0);
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 299, 2000, nullptr, nullptr), kUDP_ReceiveBufferTooSmall);
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 300, UDP_DO_NOT_WAIT, nullptr, nullptr), 0);
    EXPECT_EQ(UDPRead(rx.id, buf.data(), 0x80000000u, 0, nullptr, nullptr), kUDP_InvalidArgument);
    EXPECT_EQ(UDPRead(0, buf.data(), 1, 0, nullptr, nullptr), kUDP_InvalidChannel);
}

TEST(Udp, WriteArgumentChecks) {
    Chan tx("127.0.0.1");
    const char data[4] = {1, 2, 3, 4};
    struct Row {
        unsigned channel_offset;  // 0: the channel; else an invalid one
        unsigned port;
        const char *host;
        const void *buffer;
        unsigned size;
        int expected;
    };
    const Row rows[] = {
        {1, 9, "127.0.0.1", data, 4, kUDP_InvalidChannel},
        {0, 65536, "127.0.0.1", data, 4, kUDP_InvalidPort},
        {0, 9, nullptr, data, 4, kUDP_InvalidAddress},
        {0, 9, "", data, 4, kUDP_InvalidAddress},
        {0, 9, "127.0.0.1", data, 0x80000000u, kUDP_InvalidArgument},
        {0, 9, "0.0.0.0", data, 4, kUDP_InvalidAddress},
        {0, 9, "0.0.0.0", data, 0, kUDP_InvalidAddress},
        {0, 9, "127.0.1", data, 4, kUDP_InvalidAddress},
        {0, 9, "127.0.0.1", nullptr, 4, kUDP_NullPointerPassed},
        {0, 9, "127.0.0.1", nullptr, 0, kUDP_NullPointerPassed},
        {0, 9, "no-such-host.invalid", data, 4, kUDP_HostAddressNotFound},
        {0, 9, "no-such-host.invalid", data, 0, 0},  // no lookup for nothing to send
    };
    for (const Row &r : rows)
        EXPECT_EQ(UDPWrite(tx.id + r.channel_offset * 1000, r.port, r.host, r.buffer, r.size), r.expected)
            << (r.host ? r.host : "(null)") << " " << r.size;
}

int g_callback_marker = 0;
int noop_callback(unsigned, int, int, void *) { return 0; }

TEST(Udp, Attributes) {
    Chan ch("127.0.0.1");
    unsigned value = 0;
    void *pointer = nullptr;
    for (int attribute : {-1, 6, 1000}) {
        EXPECT_EQ(GetUDPAttribute(ch.id, attribute, &value), kUDP_InvalidAttribute) << attribute;
        EXPECT_EQ(SetUDPAttribute(ch.id, attribute, 1u), kUDP_InvalidAttribute) << attribute;
    }
    for (int attribute = 0; attribute <= 5; ++attribute)
        EXPECT_EQ(GetUDPAttribute(ch.id, attribute, nullptr), kUDP_NullPointerPassed) << attribute;
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_PORT, 5u), kUDP_InvalidAttribute);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, 300u), kUDP_InvalidAttributeValue);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, 256u), kUDP_InvalidAttributeValue);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_INTERFACE, "0.0.0.0"), kUDP_InvalidAttributeValue);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_INTERFACE, "1.2.3"), kUDP_InvalidAttributeValue);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_INTERFACE, static_cast<const char *>(nullptr)),
              kUDP_InvalidAttributeValue);
    EXPECT_EQ(SetUDPAttribute(0, ATTR_UDP_MULTICAST_TTL, 1u), kUDP_InvalidChannel);

    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, 255u), 0);
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, &value), 0);
    EXPECT_EQ(value, 255u);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, 7u), 0);
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_TTL, &value), 0);
    EXPECT_EQ(value, 7u);
    for (unsigned loop : {0u, 1u, 0u}) {
        EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_LOOPBACK, loop * 5), 0);
        EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_LOOPBACK, &value), 0);
        EXPECT_EQ(value, loop);
    }
    char text[16] = {};
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_INTERFACE, "127.0.0.2"), 0);
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_MULTICAST_INTERFACE, text), 0);
    EXPECT_STREQ(text, "127.0.0.2");

    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_CALLBACK, &noop_callback), 0);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_CALLBACK_DATA, &g_callback_marker), 0);
    UDPCallbackPtr callback = nullptr;
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_CALLBACK, &callback), 0);
    EXPECT_EQ(callback, &noop_callback);
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_CALLBACK_DATA, &pointer), 0);
    EXPECT_EQ(pointer, &g_callback_marker);
    EXPECT_EQ(SetUDPAttribute(ch.id, ATTR_UDP_CALLBACK, static_cast<UDPCallbackPtr>(nullptr)), 0);
    EXPECT_EQ(GetUDPAttribute(ch.id, ATTR_UDP_CALLBACK_DATA, &pointer), 0);
    EXPECT_EQ(pointer, nullptr);  // a cleared callback takes its data along
}

TEST(Udp, ReaderOfADisposedChannelGetsDisposedEvenWhenTheNumberIsReused) {
    kez::test::Watchdog dog(std::chrono::seconds(240), "disposal race");
    int disposed = 0;
    for (int i = 0; i < 200; ++i) {
        unsigned ch = 0;
        ASSERT_EQ(CreateUDPChannelConfig(0, "127.0.0.1", 1, nullptr, nullptr, &ch), 0);
        kez::test::Latch started(1);
        std::atomic<int> result{1};
        std::thread reader([&] {
            char buf[16];
            started.count_down();
            result = UDPRead(ch, buf, sizeof buf, UDP_WAIT_FOREVER, nullptr, nullptr);
        });
        started.wait();
        kez::os::sleep_ms(static_cast<std::uint32_t>(i % 3));
        ASSERT_EQ(DisposeUDPChannel(ch), 0);
        Chan next("127.0.0.1");  // may take the disposed channel's record once the reader lets go
        reader.join();
        // -6800 only when the disposal came before the read began.
        EXPECT_TRUE(result == kUDP_ChannelDisposed || result == kUDP_InvalidChannel) << result;
        disposed += result == kUDP_ChannelDisposed;
        EXPECT_NE(next.id, ch);
        EXPECT_EQ(DisposeUDPChannel(ch), kUDP_InvalidChannel);
        char byte = 5;
        EXPECT_EQ(UDPWrite(next.id, next.port(), "127.0.0.1", &byte, 1), 0);
        EXPECT_EQ(UDPRead(next.id, &byte, 1, 2000, nullptr, nullptr), 1);
    }
    EXPECT_GT(disposed, 100);
}

struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<int> wrong_thread{0};
    std::atomic<int> outside_events{0};
    std::atomic<bool> in_events{false};
    std::thread::id owner;
    bool dispose_in_callback = false;
    std::atomic<int> dispose_result{1};
};

int data_ready(unsigned channel, int event, int error, void *data) {
    auto *log = static_cast<CallbackLog *>(data);
    log->calls++;
    if (std::this_thread::get_id() != log->owner) log->wrong_thread++;
    if (!log->in_events) log->outside_events++;
    EXPECT_EQ(event, UDP_DATAREADY);
    EXPECT_EQ(error, 0);
    if (log->dispose_in_callback) {
        log->dispose_result = DisposeUDPChannel(channel);
    } else {
        char buf[8];
        EXPECT_EQ(UDPRead(channel, buf, sizeof buf, 0, nullptr, nullptr), 3);
    }
    return 0;
}

TEST(Udp, CallbacksRunOnTheOwnerThreadInsideProcessSystemEvents) {
    kez::test::Watchdog dog(std::chrono::seconds(60), "callbacks");
    for (bool dispose_inside : {false, true}) {
        CallbackLog log;
        log.dispose_in_callback = dispose_inside;
        std::atomic<unsigned> ch{0};
        std::atomic<bool> stop{false};
        kez::test::Latch created(1);
        std::thread owner([&] {
            log.owner = std::this_thread::get_id();
            unsigned id = 0;
            EXPECT_EQ(CreateUDPChannelConfig(0, "127.0.0.1", 1, data_ready, &log, &id), 0);
            ch = id;
            created.count_down();
            while (!stop) {
                log.in_events = true;
                ProcessSystemEvents();
                log.in_events = false;
                kez::os::sleep_ms(1);
            }
        });
        created.wait();
        Chan tx("127.0.0.1");
        unsigned port = 0;
        ASSERT_EQ(GetUDPAttribute(ch, ATTR_UDP_PORT, &port), 0);
        for (int i = 0; i < 5; ++i) {
            ProcessSystemEvents();  // not the owner: never calls back
            const int before = log.calls;
            ASSERT_EQ(UDPWrite(tx.id, port, "127.0.0.1", "abc", 3), 0);
            while (log.calls == before) kez::os::sleep_ms(1);
            if (dispose_inside) break;
        }
        // A few more rounds of the owner: nothing more is due.
        kez::os::sleep_ms(50);
        stop = true;
        owner.join();
        EXPECT_EQ(log.calls, dispose_inside ? 1 : 5);
        EXPECT_EQ(log.wrong_thread, 0);
        EXPECT_EQ(log.outside_events, 0);
        if (dispose_inside) {
            EXPECT_EQ(log.dispose_result, 0);
            EXPECT_EQ(DisposeUDPChannel(ch), kUDP_InvalidChannel);
        } else {
            EXPECT_EQ(DisposeUDPChannel(ch), 0);
        }
    }
}

TEST(Udp, ConcurrentCreatesGetDistinctChannels) {
    kez::test::Watchdog dog(std::chrono::seconds(60), "concurrent creates");
    constexpr int kThreads = 8;
    constexpr int kEach = 12;
    std::vector<unsigned> ids(kThreads * kEach);
    kez::test::Latch go(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(CreateUDPChannelConfig(0, "127.0.0.1", 1, nullptr, nullptr, &ids[t * kEach + i]), 0);
        });
    for (auto &t : threads) t.join();
    std::set<unsigned> distinct(ids.begin(), ids.end()), ports;
    EXPECT_EQ(distinct.size(), ids.size());
    for (unsigned id : ids) {
        unsigned port = 0;
        EXPECT_EQ(GetUDPAttribute(id, ATTR_UDP_PORT, &port), 0);
        ports.insert(port);
    }
    EXPECT_EQ(ports.size(), ids.size());
    for (unsigned id : ids) EXPECT_EQ(DisposeUDPChannel(id), 0);
}

TEST(Udp, FaultPointsGiveTranslatedCodesAndTexts) {
    TapReader tap(kez::test::linked_engine_tap());
    Chan ch("127.0.0.1");
    Chan tx("127.0.0.1");
    char buf[8] = {};
    struct Row {
        const char *point;
        int skip;
        unsigned winsock;
        int op;  // 0 create, 1 write, 2 read, 3 subscribe
        int expected;
        const char *warning;
    };
    const Row rows[] = {
        {"os.net_socket", 0, 10024, 0, kUDP_OutOfSystemResources, "CreateUDPChannelConfig: Out of system resources"},
        {"os.net_setsockopt", 0, 10042, 0, kUDP_NotSupported,
         "CreateUDPChannelConfig: The operation is not supported on this platform."},
        {"os.net_bind", 0, 10013, 0, kUDP_PortInUse,
         "CreateUDPChannelConfig: The port has already been reserved for exclusive use on this interface."},
        {"os.net_bind", 0, 10049, 0, kUDP_InvalidAddress, "CreateUDPChannelConfig: Invalid address"},
        {"os.net_ioctl", 0, 10004, 0, kUDP_UnexpectedWinsockError,
         "CreateUDPChannelConfig: A Windows Sockets function call returned an unexpected error."},
        {"os.net_getsockname", 0, 10022, 0, kUDP_InternalError, "CreateUDPChannelConfig: Internal error"},
        {"os.net_sendto", 0, 10035, 1, kUDP_ResourceBusy, "UDPWrite: Reserved UDP Library Error"},
        {"os.net_sendto", 0, 10051, 1, kUDP_NetworkError, "UDPWrite: A network error occurred"},
        {"os.net_sendto", 0, 10040, 1, kUDP_WriteSizeTooLarge,
         "UDPWrite: The write size specified exceeds the maximum datagram size supported on this platform."},
        {"os.net_recvfrom", 0, 10054, 2, kUDP_NetworkError, "UDPRead: A network error occurred"},
        {"os.net_recvfrom", 0, 10057, 2, kUDP_ChannelDisposed, "UDPRead: The channel has been disposed"},
        {"os.net_setsockopt", 0, 10049, 3, kUDP_AlreadySubscribed,
         "UDPMulticastSubscribe: This port or another port on the same interface is already subscribed to that "
         "multicast group."},
        {"os.net_setsockopt", 0, 10022, 3, kUDP_UnexpectedWinsockError,
         "UDPMulticastSubscribe: A Windows Sockets function call returned an unexpected error."},
        {"os.net_setsockopt", 0, 10042, 3, kUDP_NotSupported,
         "UDPMulticastSubscribe: The operation is not supported on this platform."},
        {"os.net_setsockopt", 0, 10055, 3, kUDP_OutOfSystemResources,
         "UDPMulticastSubscribe: Out of system resources"},
    };
    for (const Row &r : rows) {
        tap.mark();
        KezTest_ArmFaultEx(r.point, r.op == 1 && r.winsock == 10035 ? 2 : 1, r.skip, r.winsock);
        int rc = 0;
        unsigned id = 0;
        switch (r.op) {
            case 0: rc = CreateUDPChannelConfig(0, "127.0.0.1", 1, nullptr, nullptr, &id); break;
            case 1: rc = UDPWrite(tx.id, ch.port(), "127.0.0.1", "x", 1); break;
            case 2:
                ASSERT_EQ(UDPWrite(tx.id, ch.port(), "127.0.0.1", "x", 1), 0);
                rc = UDPRead(ch.id, buf, sizeof buf, 2000, nullptr, nullptr);
                UDPRead(ch.id, buf, sizeof buf, 0, nullptr, nullptr);
                break;
            default: rc = UDPMulticastSubscribe(ch.id, "239.1.2.3", nullptr); break;
        }
        KezTest_ArmFault(r.point, 0);
        EXPECT_EQ(rc, r.expected) << r.point << " " << r.winsock;
        const auto lines = warnings(tap);
        EXPECT_EQ(lines, std::vector<std::string>{r.warning}) << r.point << " " << r.winsock;
        if (id != 0) DisposeUDPChannel(id);
    }
    // No channel was left behind by the failed creations: the next one is
    // created and used normally.
    Chan after("127.0.0.1");
    EXPECT_EQ(UDPWrite(after.id, after.port(), "127.0.0.1", "z", 1), 0);
    EXPECT_EQ(UDPRead(after.id, buf, sizeof buf, 2000, nullptr, nullptr), 1);
}

TEST(Udp, DisposalDrainIsBounded) {
    // Every receive of the drain reports a cut datagram, as a flood would
    // keep it busy: the drain stops after 1024, leaving the rest of the
    // armed failures to the next reads.
    Chan other("127.0.0.1");
    char buf[8] = {};
    ASSERT_EQ(UDPWrite(other.id, other.port(), "127.0.0.1", "d", 1), 0);
    ASSERT_EQ(UDPRead(other.id, nullptr, 0, 2000, nullptr, nullptr), 1);  // queued
    unsigned ch = 0;
    ASSERT_EQ(CreateUDPChannelConfig(0, "127.0.0.1", 1, nullptr, nullptr, &ch), 0);
    KezTest_ArmFaultEx("os.net_recvfrom", 1030, 0, 10040);
    EXPECT_EQ(DisposeUDPChannel(ch), 0);
    int cut = 0;
    while (UDPRead(other.id, buf, sizeof buf, 0, nullptr, nullptr) == kUDP_ReceiveBufferTooSmall && cut < 2000) ++cut;
    KezTest_ArmFault("os.net_recvfrom", 0);
    EXPECT_EQ(cut, 6);
}

TEST(Udp, DatagramsOfARealPeer) {
    ASSERT_EQ(net::startup(nullptr), 0);
    {
        kez::test::SocketPeer peer;
        ASSERT_TRUE(peer.ok());
        const auto udp = peer.ask("udp");
        ASSERT_EQ(udp.size(), 2u) << peer.last_reply;
        Chan ch("127.0.0.1");
        const std::string send = "udpsend " + udp[0] + " 127.0.0.1 " + std::to_string(ch.port()) + " 1000 9";
        ASSERT_EQ(peer.ask(send), std::vector<std::string>{"1000"}) << peer.last_reply;
        std::vector<unsigned char> buf(2000);
        unsigned source_port = 0;
        char source[16] = {};
        ASSERT_EQ(UDPRead(ch.id, buf.data(), 2000, 10000, &source_port, source), 1000);
        EXPECT_EQ(std::to_string(source_port), udp[1]);
        EXPECT_STREQ(source, "127.0.0.1");
        const auto expected = pattern(1000, 9);
        EXPECT_EQ(std::memcmp(buf.data(), expected.data(), 1000), 0);

        const auto out = pattern(500, 4);
        ASSERT_EQ(UDPWrite(ch.id, static_cast<unsigned>(std::stoul(udp[1])), "127.0.0.1", out.data(), 500), 0);
        const auto got = peer.ask("udprecv " + udp[0] + " 10000");
        ASSERT_GE(got.size(), 3u) << peer.last_reply;
        EXPECT_EQ(got[0], "500");
        EXPECT_EQ(got[1], std::to_string(ch.port()));
    }
    net::cleanup();
}

// ---- child processes ----------------------------------------------------------

int net_option(unsigned ch, net::Option option) {
    size_t s = 0;
    if (GetUDPSocketHandle(ch, &s) != 0) return -1;
    std::uint32_t value = 0;
    if (net::startup(nullptr) != 0 || net::get_option(s, option, &value) != 0) return -2;
    return static_cast<int>(value);
}

TEST(UdpDeathTest, InitialisationFailuresAreUndoneAndThePollerStartsNothing) {
    struct Row {
        const char *point;
        int expected;
    };
    const Row rows[] = {{"os.net_load", kUDP_InitializationFailed}, {"os.net_startup", kUDP_InitializationFailed}};
    for (const Row &r : rows) {
        EXPECT_EXIT(
            {
                TapReader tap(kez::test::linked_engine_tap());
                KezTest_ArmFault(r.point, 1);
                // The first events of a program touch no socket library.
                const int events = ProcessSystemEvents();
                unsigned ch = 0;
                const int first = CreateUDPChannel(0, &ch);
                const bool logged = warnings(tap) == std::vector<std::string>{
                                                         "CreateUDPChannelConfig: Failed to initialize the library"};
                const int second = CreateUDPChannel(0, &ch);
                // The program's first channel is number 1.
                std::exit(events == 0 && first == r.expected && logged && second == 0 && ch == 1 ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << r.point;
    }
    // A host name that does not resolve leaves the interface list empty; the
    // library still starts.
    EXPECT_EXIT(
        {
            KezTest_ArmFault("os.net_resolve", 1);
            unsigned ch = 0;
            std::exit(CreateUDPChannel(0, &ch) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

int count_and_read(unsigned channel, int, int, void *data) {
    ++*static_cast<int *>(data);
    char buf[8];
    UDPRead(channel, buf, sizeof buf, 0, nullptr, nullptr);
    return 0;
}

TEST(UdpDeathTest, DisablingCallbacksStopsTheEvents) {
    EXPECT_EXIT(
        {
            int calls = 0;
            unsigned ch = 0;
            unsigned port = 0;
            if (CreateUDPChannelConfig(0, "127.0.0.1", 1, count_and_read, &calls, &ch) != 0 ||
                GetUDPAttribute(ch, ATTR_UDP_PORT, &port) != 0)
                std::exit(2);
            const auto deliver = [&] {
                UDPWrite(ch, port, "127.0.0.1", "e", 1);
                UDPRead(ch, nullptr, 0, 5000, nullptr, nullptr);  // arrived
                for (int i = 0; i < 3; ++i) ProcessSystemEvents();
            };
            deliver();
            const int enabled = calls;
            CloseKezRTDll(nullptr);  // the engine's libraries: callbacks disabled
            deliver();
            std::exit(enabled == 1 && calls == 1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(UdpDeathTest, UnloadClosesEverySocket) {
    EXPECT_EXIT(
        {
            unsigned ch = 0;
            unsigned port = 0;
            if (CreateUDPChannelConfig(0, "127.0.0.1", 1, nullptr, nullptr, &ch) != 0 ||
                GetUDPAttribute(ch, ATTR_UDP_PORT, &port) != 0)
                std::exit(2);
            KezTest_RunCloseRTDll();
            // The port is free again for an exclusive socket of our own.
            net::Socket s = net::kInvalidSocket;
            if (net::startup(nullptr) != 0 || net::open(net::Kind::datagram, &s) != 0) std::exit(3);
            std::exit(net::bind(s, kez::test::kLoopback, static_cast<std::uint16_t>(port)) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(UdpDeathTest, ConfigurationFileSetsTheSendBuffer) {
    kez::test::TempDir dir;
    struct Row {
        const char *text;
        int size;  // the size the channels get
        bool too_large_logged;
    };
    const Row rows[] = {
        {"# engine settings\nOther=1\n  \tSocketSendBufferSize = 100000\n", 100000, false},
        {"SocketSendBufferSize\t70000\nSocketSendBufferSize 0\n", 70000, false},
        {"SocketSendBufferSize 4294967296\n", 65535, true},
        {"SocketSendBufferSize=2147483648\n", 65535, true},
        {"SocketSendBufferSizeX 90000\nSocketSendBufferSize 9x\n", 65535, false},
    };
    for (const Row &r : rows) {
        const std::string path = dir.file("qx-rt.ini");
        kez::test::put_file(path, r.text);
        EXPECT_EXIT(
            {
                TapReader tap(kez::test::linked_engine_tap());
                kez::os::env_set("KEZ_TEST_UDP_CONFIG", path.c_str());
                unsigned ch = 0;
                if (CreateUDPChannel(0, &ch) != 0) std::exit(2);
                const int size = net_option(ch, net::Option::send_buffer);
                // Linux reports twice the size asked for.
                if (size != r.size && size != 2 * r.size) std::exit(3);
                bool logged = false;
                for (const auto &l : tap.since_mark())
                    logged |= l.text.find("SocketSendBufferSize") != std::string::npos;
                std::exit(logged == r.too_large_logged ? 0 : 4);
            },
            testing::ExitedWithCode(0), "")
            << r.text;
    }
}

// ---- broadcast and multicast, inside a network namespace -------------------------

bool in_namespace() {
    char value[8] = {};
    return kez::os::env_get("KEZ_UDP_TEST_NETNS", value, sizeof value) && value[0] == '1';
}

// The plain binding first: whether the namespace delivers a broadcast and a
// group datagram on lo at all.
bool namespace_delivers(std::uint32_t to) {
    net::Socket rx = net::kInvalidSocket, tx = net::kInvalidSocket;
    std::uint16_t port = 0;
    bool ok = net::open(net::Kind::datagram, &rx) == 0 && net::open(net::Kind::datagram, &tx) == 0 &&
              net::bind(rx, 0, 0) == 0 && net::local_name(rx, nullptr, &port) == 0 &&
              net::set_option(tx, net::Option::broadcast, 1) == 0 &&
              net::set_option(tx, net::Option::multicast_if, kez::test::kLoopback) == 0;
    if (ok && to != kez::test::ipv4(127, 255, 255, 255))
        ok = net::join_group(rx, to, kez::test::kLoopback) == 0;
    std::size_t sent = 0;
    ok = ok && net::send_to(tx, "p", 1, to, port, &sent) == 0 &&
         (kez::test::wait_for(rx, net::kReadable, 2000) & net::kReadable) != 0;
    net::close(rx);
    net::close(tx);
    return ok;
}

TEST(UdpNamespace, BroadcastAndMulticast) {
    if (!in_namespace()) GTEST_SKIP() << "runs inside the namespace child of UdpNamespaceRunner";
    ASSERT_EQ(net::startup(nullptr), 0);
    // The library's first use in this process: without a host name its
    // interface list is empty, and joins of channels on any interface use
    // the any address.
    KezTest_ArmFault("os.net_gethostname", 1);
    ASSERT_TRUE(namespace_delivers(kez::test::ipv4(127, 255, 255, 255))) << "no broadcast on lo";
    ASSERT_TRUE(namespace_delivers(kez::test::ipv4(239, 1, 2, 3))) << "no multicast on lo";
    char buf[64] = {};

    Chan rx(nullptr, 0, 0);
    Chan tx("127.0.0.1");
    ASSERT_EQ(UDPWrite(tx.id, rx.port(), "127.255.255.255", "bcast", 5), 0);
    EXPECT_EQ(UDPRead(rx.id, buf, sizeof buf, 5000, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(buf, 5), "bcast");

    // Groups: edge codes, then a datagram to the group.
    Chan member("127.0.0.1");
    struct Row {
        const char *group;
        int subscribe;
        int unsubscribe;
    };
    const Row rows[] = {
        {nullptr, kUDP_InvalidAddress, kUDP_InvalidAddress},
        {"", kUDP_InvalidAddress, kUDP_InvalidAddress},
        {"239.1.2", kUDP_InvalidAddress, kUDP_InvalidAddress},
        {"10.0.0.1", kUDP_InvalidMulticastAddress, kUDP_InvalidMulticastAddress},
        {"240.0.0.1", kUDP_InvalidMulticastAddress, kUDP_InvalidMulticastAddress},
        {"no-such-host.invalid", kUDP_InvalidMulticastAddress, kUDP_InvalidMulticastAddress},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(UDPMulticastSubscribe(member.id, r.group, nullptr), r.subscribe) << (r.group ? r.group : "null");
        EXPECT_EQ(UDPMulticastUnsubscribe(member.id, r.group, nullptr), r.unsubscribe)
            << (r.group ? r.group : "null");
    }
    EXPECT_EQ(UDPMulticastUnsubscribe(member.id, "239.1.2.3", nullptr), kUDP_NotSubscribed);
    EXPECT_EQ(UDPMulticastSubscribe(member.id, "239.1.2.3", nullptr), 0);
    EXPECT_EQ(UDPMulticastSubscribe(member.id, "239.1.2.3", "127.0.0.1"), kUDP_AlreadySubscribed);
    EXPECT_EQ(UDPMulticastSubscribe(member.id, "239.1.2.4", nullptr), 0);
    EXPECT_EQ(UDPMulticastUnsubscribe(member.id, "239.1.2.3", nullptr), 0);
    EXPECT_EQ(UDPMulticastUnsubscribe(member.id, "239.1.2.3", nullptr), kUDP_NotSubscribed);
    EXPECT_EQ(UDPMulticastUnsubscribe(member.id, "239.1.2.4", nullptr), 0);
    // Memberships go with the channel: a record used again starts with none.
    for (int i = 0; i < 3; ++i) {
        Chan again("127.0.0.1");
        EXPECT_EQ(UDPMulticastSubscribe(again.id, "239.1.2.5", nullptr), 0) << i;
    }

    Chan group(nullptr, 0, 0);
    // A membership that cannot be recorded is left again: the next
    // subscription joins afresh instead of finding the group joined.
    KezTest_ArmFault("udp.append_membership", 1);
    EXPECT_EQ(UDPMulticastSubscribe(group.id, "239.1.2.3", nullptr), kUDP_OutOfMemory);
    ASSERT_EQ(UDPMulticastSubscribe(group.id, "239.1.2.3", nullptr), 0);
    ASSERT_EQ(SetUDPAttribute(tx.id, ATTR_UDP_MULTICAST_LOOPBACK, 1u), 0);
    ASSERT_EQ(UDPWrite(tx.id, group.port(), "239.1.2.3", "group", 5), 0);
    unsigned source_port = 0;
    EXPECT_EQ(UDPRead(group.id, buf, sizeof buf, 5000, &source_port, nullptr), 5);
    EXPECT_EQ(source_port, tx.port());
    EXPECT_EQ(std::string(buf, 5), "group");
    EXPECT_EQ(UDPMulticastUnsubscribe(group.id, "239.1.2.3", nullptr), 0);
    net::cleanup();
}

#if !defined(_WIN32)
// Runs UdpNamespace.* again in a network namespace of its own (an
// unprivileged user namespace with only lo, up), so no datagram leaves the
// machine. The Windows build's run is made by udp_netns_wine.sh.
TEST(UdpNamespaceRunner, BroadcastAndMulticastInANamespace) {
    if (in_namespace()) GTEST_SKIP() << "already inside";
    int code = -1;
    std::string output;
    const char *probe[] = {"-rn", "true", nullptr};
    if (!kez::os::process_run_captured("/usr/bin/unshare", probe, 0, 20000, &code, &output) || code != 0)
        GTEST_SKIP() << "unprivileged network namespaces are not available: " << output;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    // lo up, a route for groups, and the host name's addresses on lo, so
    // that joins on the known interfaces find them.
    const std::string script =
        "ip link set lo up && ip route add 224.0.0.0/4 dev lo && "
        "for a in $(getent ahostsv4 \"$(hostname)\" | cut -d' ' -f1 | sort -u); do "
        "ip addr add $a/32 dev lo 2>/dev/null; done; KEZ_UDP_TEST_NETNS=1 exec '" +
        self + "' --gtest_filter=UdpNamespace.*";
    const char *arguments[] = {"-rn", "sh", "-c", script.c_str(), nullptr};
    output.clear();
    ASSERT_TRUE(kez::os::process_run_captured("/usr/bin/unshare", arguments, 0, 120000, &code, &output));
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}
#endif

}  // namespace
