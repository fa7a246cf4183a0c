// XModem through the engine's exports: against lrzsz sx and rx (relayed by
// the serial peer, with faults injected), between two engine ports, and
// against protocol exchanges driven byte by byte; the configuration's
// codes; a port closed under a running transfer.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kez/rs232.h"
#include "os/os.h"
#include "os/socket.h"
#include "support/serial_peer.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::file_bytes;
using kez::test::put_file;
using kez::test::SerialPeer;
using kez::test::Watchdog;
using namespace std::chrono_literals;

constexpr char SOH = 1, STX = 2, EOT = 4, ACK = 6, NAK = 21, CAN = 24;

std::string bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

// The data as a receiver stores it: padded with `fill` to whole packets.
std::string padded(std::string s, std::size_t packet, char fill) {
    s.append((packet - s.size() % packet) % packet, fill);
    return s;
}

unsigned crc16(const std::string &data) {  // bit by bit, apart from the engine's table
    unsigned crc = 0;
    for (unsigned char c : data) {
        crc ^= static_cast<unsigned>(c) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) & 0xFFFFu : (crc << 1) & 0xFFFFu;
    }
    return crc;
}

std::string packet(int number, const std::string &data, bool crc) {
    std::string p{data.size() == 1024 ? STX : SOH, static_cast<char>(number), static_cast<char>(255 - number)};
    p += data;
    if (crc) {
        const unsigned c = crc16(data);
        p += static_cast<char>(c >> 8);
        p += static_cast<char>(c & 0xFF);
    } else {
        unsigned sum = 0;
        for (unsigned char c : data) sum += c;
        p += static_cast<char>(sum & 0xFF);
    }
    return p;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// One peer and one set of pairs (COM211 to COM219) for the whole suite,
// linked where the ports are looked for: $KEZ_SERIAL_DIR on Linux, the Wine
// prefix's dosdevices under Wine. Files live where both the engine and the
// (Linux) peer see them: under Wine the engine names them through drive Z:.
class XModem : public testing::Test {
  protected:
    static constexpr int kFirstPort = 211, kPorts = 9;

    static void SetUpTestSuite() {
        ASSERT_EQ(kez::os::net::startup(nullptr), 0);
        char prefix[1024];
        if (kez::test::under_wine()) {
            ASSERT_TRUE(kez::os::env_get("WINEPREFIX", prefix, sizeof prefix)) << "WINEPREFIX not set";
            serial_dir_ = std::string(prefix) + "/dosdevices";
            peer_dir_ = std::string(prefix) + "/kez-xmodem-" + std::to_string(kez::os::current_process_id());
            host_dir_ = "Z:" + peer_dir_;
            std::filesystem::create_directories(host_dir_);
        } else {
            temp_ = new kez::test::TempDir;
            serial_dir_ = peer_dir_ = host_dir_ = temp_->str();
            ASSERT_TRUE(kez::os::env_set("KEZ_SERIAL_DIR", serial_dir_.c_str()));
        }
        peer_ = new SerialPeer;
        ASSERT_TRUE(peer_->ok()) << "the serial peer did not answer";
        for (int i = 0; i < kPorts; ++i) {
            pairs_[i] = peer_->open(serial_dir_, kFirstPort + i);
            ASSERT_GE(pairs_[i], 0) << peer_->last_reply;
        }
    }
    static void TearDownTestSuite() {
        delete peer_;  // removes its links
        peer_ = nullptr;
        if (temp_ == nullptr) {
            std::error_code ec;
            std::filesystem::remove_all(host_dir_, ec);
        }
        delete temp_;
        temp_ = nullptr;
        kez::os::net::cleanup();
    }
    void TearDown() override {
        for (int n : opened_) CloseCom(n);
    }

    // Opens COMn (with 7 data bits and even parity, which a transfer
    // replaces by 8 bits without parity while it runs): its pair's id.
    long port(int n) {
        EXPECT_EQ(0, OpenComConfig(n, "", 115200, 2, 7, 1, 4096, 4096));
        opened_.push_back(n);
        return pairs_[n - kFirstPort];
    }
    // n bytes from pair `id`, or what came within ms.
    std::string collect(long id, std::size_t n, unsigned ms) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            const std::string more = peer_->read(id, n - got.size(), 200);
            if (more == "ERR") break;
            got += more;
        }
        return got;
    }
    // Writes the receiver's start byte until the first n bytes come (the
    // sender discards what came before it started).
    std::string start(long id, char byte, std::size_t n) {
        for (int i = 0; i < 10; ++i) {
            if (!peer_->write(id, std::string{byte})) break;
            std::string got = collect(id, 1, 700);
            if (!got.empty()) return got + collect(id, n - 1, 5000);
        }
        return "";
    }
    static std::string host(const std::string &name) { return host_dir_ + "/" + name; }
    static std::string peer_path(const std::string &name) { return peer_dir_ + "/" + name; }

    static inline kez::test::TempDir *temp_ = nullptr;
    static inline std::string serial_dir_, peer_dir_, host_dir_;
    static inline SerialPeer *peer_ = nullptr;
    static inline long pairs_[kPorts] = {};
    std::vector<int> opened_;
};

TEST(XModemFlag, SetFlushesReturnsThePreviousFlag) {
    EXPECT_EQ(1, __SetXModemFlushesQs(0));
    EXPECT_EQ(0, __SetXModemFlushesQs(7));
    EXPECT_EQ(1, __SetXModemFlushesQs(-1));
    EXPECT_EQ(1, __SetXModemFlushesQs(1));
}

TEST_F(XModem, PortFileAndConfigurationCodes) {
    const std::string kept = host("kept.bin");
    put_file(kept, "kept");
    for (int bad : {0, -1, 1001, INT_MIN}) {
        EXPECT_EQ(-2, XModemConfig(bad, 0, 0, 0, 0)) << bad;
        EXPECT_EQ(-2, XModemSend(bad, kept.c_str())) << bad;
        EXPECT_EQ(-2, XModemReceive(bad, kept.c_str())) << bad;
        EXPECT_EQ(-2, rs232err);
    }
    EXPECT_EQ(-3, XModemConfig(9, 0, 0, 0, 0));
    EXPECT_EQ(-3, XModemSend(9, kept.c_str()));
    EXPECT_EQ(-3, XModemReceive(9, kept.c_str()));
    EXPECT_EQ(-3, ReturnRS232Err());
    EXPECT_EQ("kept", file_bytes(kept));  // a refused receive opens nothing

    port(211);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double start;
        int tries;
        double wait;
        int size;
        int code;
    } cases[] = {
        {nan, 0, 0, 0, -503},       {-0.001, 0, 0, 0, -503}, {2147483.648, 0, 0, 0, -503},
        {inf, 0, 0, 0, -503},       {0, -1, 0, 0, -504},     {0, INT_MIN, 0, 0, -504},
        {0, 0, nan, 0, -505},       {0, 0, -1, 0, -505},     {0, 0, 2147483.648, 0, -505},
        {0, 0, 0, -1, -506},        {0, 0, 0, 4097, -269},   {2147483.5, INT_MAX, 1e-9, 4096, 0},
        {1e-9, 1, 2147483.5, 1, 0}, {0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.code, XModemConfig(211, c.start, c.tries, c.wait, c.size))
            << c.start << " " << c.tries << " " << c.wait << " " << c.size;
        EXPECT_EQ(c.code, rs232err);
    }
    EXPECT_EQ(-300, XModemSend(211, host("missing.bin").c_str()));
    EXPECT_EQ(-300, XModemReceive(211, host("no/such/dir.bin").c_str()));
    EXPECT_EQ(-300, XModemSend(211, nullptr));
}

// Files of every packet boundary to and from lrzsz, each way in checksum
// and CRC mode, with 128-byte and 1K packets, some with faults injected.
TEST_F(XModem, TransfersWithLrzsz) {
    Watchdog dog(100s, "transfers with lrzsz");
    const long id = port(212);
    const struct {
        bool engine_sends;
        std::size_t size;
        int packet;
        const char *flags;  // the program's options
        const char *noise;
    } cases[] = {
        // To rx: a bare rx asks for checksums, -c for CRC.
        {true, 0, 128, "-", "-"},
        {true, 130, 128, "-", "-"},
        {true, 1025, 1024, "-c", "-"},
        {true, 32769, 128, "-c", "-"},
        {true, 3000, 128, "-", "flip:400:17,drop:900:300,junk:700:40,max:3"},
        {true, 5000, 1024, "-c", "flip:2100:99,drop:3000:1500,max:2"},
        // From sx: the engine asks for CRC, then for checksums ("noc" drops
        // its "C"s); sx -k sends 1K packets, its tail in 128-byte ones.
        {false, 0, 128, "-", "-"},
        {false, 130, 128, "-", "noc"},
        {false, 1025, 128, "-k", "-"},
        {false, 1025, 1024, "-k", "-"},
        {false, 32769, 1024, "-k", "-"},
        {false, 3000, 128, "-", "noc,flip:400:17,drop:900:300,junk:700:40,max:5"},
        {false, 5000, 1024, "-k", "flip:2100:99,drop:3000:1500,junk:1500:20,max:4"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.engine_sends ? "to rx " : "from sx ") + std::to_string(c.size) + " " +
                     std::to_string(c.packet) + " " + c.flags + " " + c.noise);
        const std::string data = bytes(c.size, static_cast<unsigned>(c.size));
        std::filesystem::remove(host("out.bin"));
        put_file(host("in.bin"), data);
        ASSERT_EQ(0, XModemConfig(212, 1.0, 4, 2.0, c.packet));
        // rx waits long before it asks again: it starts once the engine waits.
        std::future<int> engine;
        if (c.engine_sends) {
            engine = std::async(std::launch::async, [&] { return XModemSend(212, host("in.bin").c_str()); });
            std::this_thread::sleep_for(300ms);
        }
        ASSERT_TRUE(peer_->relay(id, c.engine_sends ? "rx" : "sx", peer_path(c.engine_sends ? "out.bin" : "in.bin"),
                                 c.flags, c.noise))
            << peer_->last_reply;
        const int rc = c.engine_sends ? engine.get() : XModemReceive(212, host("out.bin").c_str());
        int status = -1, faults = -1;
        ASSERT_TRUE(peer_->finish(id, 15000, &status, &faults)) << peer_->last_reply;
        EXPECT_EQ(0, rc);
        EXPECT_EQ(0, status);
        EXPECT_EQ(std::string(c.noise) != "-", faults > 0);
        // The engine pads with zeros; sx with 0x1A, to 128 bytes.
        const std::string want =
            c.engine_sends ? padded(data, static_cast<std::size_t>(c.packet), '\0') : padded(data, 128, '\x1a');
        EXPECT_TRUE(want == file_bytes(host("out.bin"))) << file_bytes(host("out.bin")).size() << " bytes";
    }
}

// Two engine ports bridged by the peer, with faults both ways (a lost ACK
// makes the sender repeat a packet the receiver must store once).
TEST_F(XModem, BetweenTwoEnginePorts) {
    Watchdog dog(60s, "engine to engine");
    const long from = port(213), to = port(214);
    const struct {
        std::size_t size;
        int packet;
        const char *noise;
        int flushes;  // __SetXModemFlushesQs
    } cases[] = {
        {32769, 1024, "-", 0},
        {1025, 128, "ack:3", 1},
        {9000, 1024, "ack:2,flip:2500:1030,drop:3500:7,junk:3100:600,max:3", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + c.noise);
        __SetXModemFlushesQs(c.flushes);
        const std::string data = bytes(c.size, 7);
        put_file(host("in.bin"), data);
        ASSERT_EQ(0, XModemConfig(213, 1.0, 5, 1.5, c.packet));
        ASSERT_EQ(0, XModemConfig(214, 1.0, 5, 1.5, c.packet));
        ASSERT_TRUE(peer_->bridge(from, to, c.noise)) << peer_->last_reply;
        auto sent = std::async(std::launch::async, [&] { return XModemSend(213, host("in.bin").c_str()); });
        EXPECT_EQ(0, XModemReceive(214, host("out.bin").c_str()));
        EXPECT_EQ(0, sent.get());
        int status = -1, faults = -1;
        ASSERT_TRUE(peer_->finish(from, 5000, &status, &faults)) << peer_->last_reply;
        EXPECT_EQ(std::string(c.noise) != "-", faults > 0);
        EXPECT_TRUE(padded(data, static_cast<std::size_t>(c.packet), '\0') == file_bytes(host("out.bin")));
    }
    __SetXModemFlushesQs(1);
}

// The receiver's answers byte by byte: a repeat acknowledged and stored
// once, a bad CRC refused, an EOT followed by noise refused, the lone EOT
// acknowledged before the call returns; then a packet out of step, and a
// cancel.
TEST_F(XModem, ReceiverAnswers) {
    Watchdog dog(60s, "receiver answers");
    const long id = port(215);
    ASSERT_EQ(0, XModemConfig(215, 2.0, 3, 3.0, 128));
    const std::string one = bytes(128, 1), two = bytes(128, 2);
    auto received = std::async(std::launch::async, [&] { return XModemReceive(215, host("out.bin").c_str()); });
    std::string bad = packet(2, two, true);
    bad.back() = static_cast<char>(bad.back() ^ 1);
    const struct {
        std::string send;
        std::string answer;
    } steps[] = {
        {"", "C"},
        {packet(1, one, true), {ACK}},
        {packet(1, one, true), {ACK}},  // its ACK was lost
        {bad, {NAK}},
        {packet(2, two, true), {ACK}},
        {std::string{EOT} + "x", {NAK}},  // noise that looked like EOT
        {std::string{EOT}, {ACK}},
    };
    for (const auto &s : steps) {
        ASSERT_TRUE(peer_->write(id, s.send));
        EXPECT_EQ(s.answer, collect(id, s.answer.size(), 5000)) << s.answer;
    }
    EXPECT_EQ(0, received.get());
    EXPECT_TRUE(one + two == file_bytes(host("out.bin")));

    // Out of step: two CANs and -262. Asked with "C" first also when the
    // tries are INT_MAX; a CAN from the sender ends it with -402.
    for (int tries : {3, INT_MAX}) {
        ASSERT_EQ(0, XModemConfig(215, 2.0, tries, 3.0, 128));
        received = std::async(std::launch::async, [&] { return XModemReceive(215, host("out.bin").c_str()); });
        EXPECT_EQ("C", collect(id, 1, 5000));
        ASSERT_TRUE(peer_->write(id, tries == 3 ? packet(5, one, true) : std::string{CAN, CAN}));
        if (tries == 3) {
            EXPECT_EQ(std::string({CAN, CAN}), collect(id, 2, 5000));
        }
        EXPECT_EQ(tries == 3 ? -262 : -402, received.get());
    }
}

// The sender byte by byte: a 130-byte file in checksum mode is a full
// packet and one of 2 bytes and 126 zeros, a NAK repeats a packet, EOT
// ends; unanswered packets end in two CANs.
TEST_F(XModem, SenderPackets) {
    Watchdog dog(60s, "sender packets");
    const long id = port(216);
    const std::string data = bytes(130, 3);
    put_file(host("in.bin"), data);
    ASSERT_EQ(0, XModemConfig(216, 2.0, 3, 1.0, 128));
    auto sent = std::async(std::launch::async, [&] { return XModemSend(216, host("in.bin").c_str()); });
    const std::string first = packet(1, data.substr(0, 128), false);
    const std::string second = packet(2, padded(data.substr(128), 128, '\0'), false);
    EXPECT_TRUE(first == start(id, NAK, first.size()));
    const struct {
        std::string answer;
        std::string expect;
    } steps[] = {{{NAK}, first}, {{ACK}, second}, {{ACK}, {EOT}}, {{ACK}, ""}};
    for (const auto &s : steps) {
        ASSERT_TRUE(peer_->write(id, s.answer));
        if (!s.expect.empty()) {
            EXPECT_TRUE(s.expect == collect(id, s.expect.size(), 5000));
        }
    }
    EXPECT_EQ(0, sent.get());

    sent = std::async(std::launch::async, [&] { return XModemSend(216, host("in.bin").c_str()); });
    const std::string crc_first = packet(1, data.substr(0, 128), true);
    EXPECT_TRUE(crc_first == start(id, 'C', crc_first.size()));
    for (int i = 1; i < 3; ++i) EXPECT_TRUE(crc_first == collect(id, crc_first.size(), 5000)) << i;
    EXPECT_EQ(std::string({CAN, CAN}), collect(id, 2, 5000));
    EXPECT_EQ(-257, sent.get());
}

// Every wait is a deadline that junk does not restart, a purge ends after
// one wait period, and an unanswered receiver asks with "C" for the first
// half of its tries and with NAK for the rest.
TEST_F(XModem, WaitsAreDeadlines) {
    Watchdog dog(60s, "deadlines");
    const long id = port(217);
    put_file(host("in.bin"), "x");
    ASSERT_EQ(0, XModemConfig(217, 0.5, 2, 1.0, 128));
    ASSERT_TRUE(peer_->drip(id, '0', 50, 6000));  // junk for 6 s
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(-302, XModemSend(217, host("in.bin").c_str()));
    EXPECT_LT(seconds_since(t), 3.0);
    ASSERT_TRUE(peer_->drip(id, '0', 50, 0));

    ASSERT_EQ(0, XModemConfig(217, 0.3, 3, 1.0, 128));
    EXPECT_EQ(-259, XModemReceive(217, host("out.bin").c_str()));
    EXPECT_EQ(std::string("CC") + NAK, collect(id, 3, 3000));

    ASSERT_EQ(0, XModemConfig(217, 2.0, 3, 1.0, 128));
    auto received = std::async(std::launch::async, [&] { return XModemReceive(217, host("out.bin").c_str()); });
    EXPECT_EQ("C", collect(id, 1, 5000));
    ASSERT_TRUE(peer_->write(id, std::string{SOH, 1, 1}));  // an inconsistent number: purge, then NAK
    t = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer_->drip(id, '0', 50, 6000));
    EXPECT_EQ(std::string{NAK}, collect(id, 1, 5000));
    EXPECT_LT(seconds_since(t), 3.0);
    ASSERT_TRUE(peer_->drip(id, '0', 50, 0));
    ASSERT_TRUE(peer_->write(id, std::string{CAN, CAN}));
    EXPECT_EQ(-402, received.get());
}

// Closing the port from another thread ends a waiting transfer with -3.
TEST_F(XModem, CloseEndsTransfers) {
    Watchdog dog(30s, "close");
    port(218);
    port(219);
    put_file(host("in.bin"), bytes(100, 4));
    ASSERT_EQ(0, XModemConfig(218, 60.0, 10, 60.0, 128));
    ASSERT_EQ(0, XModemConfig(219, 60.0, 10, 60.0, 128));
    auto sent = std::async(std::launch::async, [&] { return XModemSend(218, host("in.bin").c_str()); });
    auto received = std::async(std::launch::async, [&] { return XModemReceive(219, host("out.bin").c_str()); });
    std::this_thread::sleep_for(300ms);
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(0, CloseCom(218));
    EXPECT_EQ(0, CloseCom(219));
    EXPECT_EQ(-3, sent.get());
    EXPECT_EQ(-3, received.get());
    EXPECT_LT(seconds_since(t), 10.0);
}

}  // namespace
