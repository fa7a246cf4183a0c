// The RS-232 library through its exports, over the serial VISA component
// (components/visa32) and pseudo-terminal pairs made by the serial peer:
// port n is the pair linked as com<n>, in $KEZ_SERIAL_DIR on Linux and in
// the Wine prefix's dosdevices under Wine. One peer serves the whole
// program. Codes and texts, time-outs, the writer under XON/XOFF, events on
// the installing thread, closing under concurrent use, and VISA failures
// injected through the binding's fault points.
//
// The first test needs the VISA library not yet loaded by the engine: it
// stays first in the file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/rs232.h"
#include "kez/runtime.h"
#define KEZ_VISA_TYPES_ONLY
#include "kez_visa.h"
#include "os/os.h"
#include "os/socket.h"
#include "support/eventually.h"
#include "support/serial_peer.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::eventually;
using kez::test::SerialPeer;
using kez::test::Watchdog;
using namespace std::chrono_literals;

std::string pattern(std::size_t n, unsigned seed, std::size_t start = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(kez::test::pattern_byte(start + i, seed));
    return s;
}

std::string text(int code) { return GetRS232ErrorString(code); }

long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// COMn is the link com<n> in this directory from the start: the library's
// table of port names is rebuilt only when the number of ports changes.
std::string g_dir;
kez::test::TempDir *g_temp = nullptr;

class SerialDir : public testing::Environment {
public:
    void SetUp() override {
        char prefix[1024];
        if (kez::test::under_wine()) {
            ASSERT_TRUE(kez::os::env_get("WINEPREFIX", prefix, sizeof prefix)) << "WINEPREFIX not set";
            g_dir = std::string(prefix) + "/dosdevices";
        } else {
            g_temp = new kez::test::TempDir();
            g_dir = g_temp->str();
            ASSERT_TRUE(kez::os::env_set("KEZ_SERIAL_DIR", g_dir.c_str()));
        }
    }
    void TearDown() override {
        delete g_temp;
        g_temp = nullptr;
    }
};
testing::Environment *const g_serial_dir = testing::AddGlobalTestEnvironment(new SerialDir);

// ---- without the VISA library ------------------------------------------------------

// With the library failing to load every call fails with -1, and -1's text
// is the built-in description of the VISA status behind it; the next open
// loads it (port 151 has no pair: "No port found").
TEST(Rs232NoVisa, FailedLoadGivesMinusOneAndIsRetried) {
    KezTest_ArmFault("visa.load", 1000);
    EXPECT_EQ(-1, OpenCom(151, ""));
    EXPECT_EQ(-1, rs232err);
    EXPECT_EQ(-1, ReturnRS232Err());
    EXPECT_EQ(-1, OpenComConfig(151, "COM151", 9600, 0, 8, 1, 512, 512));
    EXPECT_EQ("Unknown system error (miscellaneous error).  Possibly, unable to load visa32.dll.", text(-1));
    KezTest_ArmFault("visa.load", 0);
    EXPECT_EQ(-6, OpenCom(151, ""));
    EXPECT_EQ("No port found", text(-6));
}

TEST(Rs232NoVisa, EveryCodeHasItsText) {
    const struct {
        int code;
        const char *text;
    } cases[] = {
        {0, "No error"},
        {-2, "Invalid port number"},
        {-3, "Port not open"},
        {-4, "Unknown I/O error"},
        {-5, "Unexpected internal error"},
        {-6, "No port found"},
        {-7, "Cannot open port"},
        {-8, "A NULL pointer was passed when a non-NULL pointer was expected"},
        {-11, "Out of memory"},
        {-12, "Unable to allocate system resources."},
        {-13, "Invalid parameter"},
        {-14, "Invalid baud rate"},
        {-24, "Invalid parity"},
        {-34, "Invalid number of data bits"},
        {-44, "Invalid number of stop bits"},
        {-90, "Bad file handle"},
        {-91, "File I/O error"},
        {-94, "Invalid count = must be 0 or greater"},
        {-97, "Invalid interrupt level"},
        {-99, "I/O operation timed out"},
        {-104, "Break time must be a positive value"},
        {-114, "Input queue size must be 0 or greater"},
        {-124, "Output queue size must be 0 or greater"},
        {-151, "General I/O error"},
        {-152, "Buffer parameter is NULL"},
        {-180, "A necessary run-time library could not be found or loaded.\n\nOn real-time systems, the Pellix/Kez "
               "RS-232 library requires the Qx-Serial driver. You can install Qx-Serial to your host system from the "
               "Qx Driver CD, then use Qx Vantrel to install Qx-Serial RT support to your target."},
        {-9, "Unknown error number"},
        {-10, "Unknown error number"},
        {-256, "Unknown error number"},
        {1, "Unknown error number"},
        {std::numeric_limits<int>::min(), "Unknown error number"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.text, text(c.code)) << c.code;
}

// Port 0 and 1001 give -2 and a port never opened -3, before any other
// argument is looked at, in every function that takes a port.
TEST(Rs232NoVisa, PortNumberAndOpenPortAreCheckedFirst) {
    using Call = int (*)(int);
    const struct {
        const char *name;
        Call call;
    } calls[] = {
        {"CloseCom", [](int p) { return CloseCom(p); }},
        {"ComRd", [](int p) { return ComRd(p, nullptr, 5); }},
        {"ComRdByte", [](int p) { return ComRdByte(p); }},
        {"ComRdTerm", [](int p) { return ComRdTerm(p, nullptr, -1, 999); }},
        {"ComWrt", [](int p) { return ComWrt(p, nullptr, 5); }},
        {"ComWrtByte", [](int p) { return ComWrtByte(p, 'a'); }},
        {"ComToFile", [](int p) { return ComToFile(p, -1, -1, -1); }},
        {"ComFromFile", [](int p) { return ComFromFile(p, -1, -1, -1); }},
        {"ComBreak", [](int p) { return ComBreak(p, -1); }},
        {"ComSetEscape", [](int p) { return ComSetEscape(p, 999); }},
        {"FlushInQ", [](int p) { return FlushInQ(p); }},
        {"FlushOutQ", [](int p) { return FlushOutQ(p); }},
        {"GetInQLen", [](int p) { return GetInQLen(p); }},
        {"GetOutQLen", [](int p) { return GetOutQLen(p); }},
        {"GetComStat", [](int p) { return GetComStat(p); }},
        {"GetComLineStatus", [](int p) { return GetComLineStatus(p); }},
        {"GetComConnectionState", [](int p) { return GetComConnectionState(p); }},
        {"GetSystemComHandle", [](int p) { return GetSystemComHandle(p, nullptr); }},
        {"SetComTime", [](int p) { return SetComTime(p, std::nan("")); }},
        {"SetXMode", [](int p) { return SetXMode(p, 1); }},
        {"SetCTSMode", [](int p) { return SetCTSMode(p, 3); }},
        {"InstallComCallback", [](int p) { return InstallComCallback(p, -1, -1, 999, nullptr, nullptr); }},
        {"__GetComConfig", [](int p) { return __GetComConfig(p, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"XModemConfig", [](int p) { return XModemConfig(p, -1.0, -1, -1.0, -1); }},
        {"XModemSend", [](int p) { return XModemSend(p, ""); }},
        {"XModemReceive", [](int p) { return XModemReceive(p, ""); }},
    };
    for (const auto &c : calls) {
        for (const int port : {0, 1001, -1}) {
            EXPECT_EQ(-2, c.call(port)) << c.name << " on port " << port;
            EXPECT_EQ(-2, rs232err) << c.name;
        }
        EXPECT_EQ(-3, c.call(160)) << c.name << " on a port never opened";
        EXPECT_EQ(-3, rs232err) << c.name;
        EXPECT_EQ(-3, ReturnRS232Err()) << c.name;
    }
    for (const int port : {0, 1001, -1}) EXPECT_EQ(-2, OpenComConfig(port, "", 0, 5, 4, 3, -1, 0)) << port;
    EXPECT_EQ(-2, OpenCom(0, ""));
    EXPECT_EQ(-2, OpenCom(1001, ""));
    EXPECT_EQ(-2, OpenCom(1001, nullptr));
}

TEST(Rs232NoVisa, PortDefaultsSkipNullPointers) {
    EXPECT_EQ(0, __GetPortDefaults(5, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    int baud = -1, parity = -1, data = -1, stop = -1, in = -1, out = -1;
    unsigned char enabled = 9;
    EXPECT_EQ(0, __GetPortDefaults(5, &baud, nullptr, &data, nullptr, &in, nullptr, &enabled));
    EXPECT_EQ(9600, baud);
    EXPECT_EQ(-1, parity);
    EXPECT_EQ(7, data);
    EXPECT_EQ(0, in);
    EXPECT_EQ(1, enabled);
    EXPECT_EQ(0, __GetPortDefaults(5, nullptr, &parity, nullptr, &stop, nullptr, &out, nullptr));
    EXPECT_EQ(0, parity);
    EXPECT_EQ(1, stop);
    EXPECT_EQ(0, out);
}

// ---- over pseudo-terminal pairs ----------------------------------------------------

// The component's test aid, loaded as the engine loads the component.
using RaiseFn = ViStatus (*)(ViSession, ViEventType, ViStatus);
RaiseFn raise_fn() {
    static RaiseFn fn = [] {
        kez::os::Module m = kez::os::module_load("visa32.dll");
        return m != nullptr ? reinterpret_cast<RaiseFn>(kez::os::module_symbol(m, "kezvisa_raise")) : nullptr;
    }();
    return fn;
}
ViStatus raise_on(int port, ViEventType type, ViStatus status) {
    int session = 0;
    if (GetSystemComHandle(port, &session) != 0 || raise_fn() == nullptr) return VI_ERROR_SYSTEM_ERROR;
    return raise_fn()(static_cast<ViSession>(session), type, status);
}

// Callbacks as they come: the thread, whether the event pass was running,
// and whether the session they belong to had been closed.
struct Events {
    std::thread::id thread = std::this_thread::get_id();
    int port = 0;
    std::atomic<bool> pumping{false};
    std::atomic<bool> closed{false};
    std::atomic<int> foreign{0}, outside_pump{0}, after_close{0}, wrong_port{0}, chars{0};
    std::mutex m;
    std::vector<int> words;  // other than single characters
};

void record(int port, int word, void *data) {
    auto *e = static_cast<Events *>(data);
    if (std::this_thread::get_id() != e->thread) ++e->foreign;
    if (!e->pumping) ++e->outside_pump;
    if (e->closed) ++e->after_close;
    if (port != e->port) ++e->wrong_port;
    if (word == COM_EVENT_CHAR) {
        ++e->chars;
        return;
    }
    std::lock_guard<std::mutex> lock(e->m);
    e->words.push_back(word);
}

void pump(Events &e) {
    e.pumping = true;
    ProcessSystemEvents();
    e.pumping = false;
}

class Rs232 : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(kez::os::net::startup(nullptr), 0);
        peer_ = new SerialPeer();
        ASSERT_TRUE(peer_->ok()) << "the serial peer did not answer";
    }
    static void TearDownTestSuite() {
        delete peer_;  // removes its links
        peer_ = nullptr;
        kez::os::net::cleanup();
    }
    void SetUp() override { ASSERT_NE(nullptr, peer_); }

    // A pair linked as com<n>: its peer id.
    static long pair(int n) {
        const long id = peer_->open(g_dir, n);
        EXPECT_GE(id, 0) << peer_->last_reply;
        return id;
    }
    // Port n at 115200 baud, 8N1, with these queue sizes; its pair's id.
    static long open_port(int n, int in_queue = 4096, int out_queue = 4096) {
        const long id = pair(n);
        EXPECT_EQ(0, OpenComConfig(n, "", 115200, 0, 8, 1, in_queue, out_queue)) << "port " << n;
        return id;
    }
    // What reaches the peer within ms (and what follows at once).
    static std::string peer_read(long id, std::size_t n, unsigned ms) { return peer_->read(id, n, ms); }

    static inline SerialPeer *peer_ = nullptr;
};

// A read ends after the port's time-out of inactivity with what came; a
// time-out of less than a millisecond is one, not "never"; ComRdTerm stops
// before the terminator, takes the LF after a CR and uses the port's
// time-out without changing it.
TEST_F(Rs232, ReadsTimeOutAndStopAtTheTerminator) {
    Watchdog dog(60s, "reads");
    const int p = 121;
    const long id = open_port(p);
    char buf[16] = {};
    ASSERT_EQ(0, SetComTime(p, 0.2));

    ASSERT_TRUE(peer_->write(id, "abc"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(3, ComRd(p, buf, 10));
    EXPECT_GE(elapsed_ms(t0), 190);
    EXPECT_EQ("abc", std::string(buf, 3));
    EXPECT_EQ(-99, rs232err);
    EXPECT_EQ(-99, ReturnRS232Err());

    EXPECT_EQ(0, ComRd(p, buf, 0));
    EXPECT_EQ(0, rs232err);
    EXPECT_EQ(0, ComWrt(p, buf, 0));
    EXPECT_EQ(-152, ComRd(p, nullptr, 5));
    EXPECT_EQ(-152, rs232err);
    EXPECT_EQ(-152, ComWrt(p, nullptr, 5));
    EXPECT_EQ(-152, ComRdTerm(p, nullptr, 5, 13));
    EXPECT_EQ(-94, ComRd(p, buf, static_cast<size_t>(1) << 31));
    EXPECT_EQ(-94, ComWrt(p, buf, static_cast<size_t>(1) << 31));
    EXPECT_EQ(0, GetInQLen(p));

    ASSERT_TRUE(peer_->write(id, "AB\r\nC"));
    EXPECT_EQ(2, ComRdTerm(p, buf, 10, 13));
    EXPECT_EQ("AB", std::string(buf, 2));
    EXPECT_EQ(0, rs232err);
    EXPECT_TRUE(eventually([&] { return GetInQLen(p) == 1; })) << GetInQLen(p);
    EXPECT_EQ('C', ComRdByte(p));
    // At the maximum count, the rest stays.
    ASSERT_TRUE(peer_->write(id, "12345\r"));
    EXPECT_EQ(3, ComRdTerm(p, buf, 3, 13));
    EXPECT_EQ("123", std::string(buf, 3));
    EXPECT_EQ(2, ComRdTerm(p, buf, 10, 13));
    EXPECT_EQ("45", std::string(buf, 2));
    EXPECT_EQ(-99, ComRdByte(p)) << "the CR was consumed";

    ASSERT_EQ(0, SetComTime(p, 0.3));
    ASSERT_TRUE(peer_->write(id, "xy"));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(2, ComRdTerm(p, buf, 10, 13));
    EXPECT_GE(elapsed_ms(t0), 290);
    EXPECT_EQ(-99, rs232err);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ComRd(p, buf, 4));
    EXPECT_GE(elapsed_ms(t0), 290) << "ComRdTerm changed the port's time-out";
    EXPECT_EQ(-99, rs232err);

    EXPECT_EQ(0, SetComTime(p, 0.0001));
    EXPECT_EQ(-99, ComRdByte(p));
    const double bad[] = {std::nan(""), -0.001, -1.0, 2147484.0, std::numeric_limits<double>::infinity()};
    for (double s : bad) {
        EXPECT_EQ(-13, SetComTime(p, s)) << s;
        EXPECT_EQ(-13, rs232err) << s;
    }
    EXPECT_EQ(0, SetComTime(p, 2147483.0));
    EXPECT_EQ(0, CloseCom(p));
    EXPECT_EQ(-3, CloseCom(p));
}

// Settings out of range are refused before the open port is touched: it
// stays open, configured as before and working.
TEST_F(Rs232, ConfigurationIsCheckedBeforeTouchingTheOpenPort) {
    Watchdog dog(60s, "configuration");
    const int p = 122;
    const long id = pair(p);
    ASSERT_EQ(0, OpenComConfig(p, "", 9600, 0, 8, 1, 10, 0));
    ASSERT_EQ(0, SetComTime(p, 1.0));
    const auto config = [&] {
        int v[6] = {-1, -1, -1, -1, -1, -1};
        EXPECT_EQ(0, __GetComConfig(p, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]));
        return std::vector<int>(v, v + 6);
    };
    const std::vector<int> stored = {9600, 0, 8, 1, 30, 512};
    EXPECT_EQ(stored, config()) << "queue sizes 10 and 0 are stored as 30 and 512";
    EXPECT_EQ(0, __GetComConfig(p, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));

    const struct {
        int baud, parity, data, stop, in;
        int code;
    } bad[] = {
        {0, 0, 8, 1, 512, -14},  {-9600, 0, 8, 1, 512, -14}, {9600, 5, 8, 1, 512, -24}, {9600, -1, 8, 1, 512, -24},
        {9600, 0, 4, 1, 512, -34}, {9600, 0, 9, 1, 512, -34},  {9600, 0, 8, 0, 512, -44}, {9600, 0, 8, 3, 512, -44},
        {9600, 0, 8, 1, -1, -114},
    };
    char c = 0;
    for (const auto &b : bad) {
        EXPECT_EQ(b.code, OpenComConfig(p, "", b.baud, b.parity, b.data, b.stop, b.in, 512)) << b.code;
        EXPECT_EQ(b.code, rs232err);
        EXPECT_EQ(stored, config()) << b.code;
        EXPECT_EQ(2, ComWrt(p, "ok", 2)) << b.code;
        EXPECT_EQ("ok", peer_read(id, 3, 2000)) << b.code;
        ASSERT_TRUE(peer_->write(id, "k"));
        c = static_cast<char>(ComRdByte(p));
        EXPECT_EQ('k', c) << b.code;
    }
    ASSERT_EQ(0, OpenComConfig(p, "", 19200, 0, 8, 1, 0, 10)) << "reopening an open port";
    EXPECT_EQ((std::vector<int>{19200, 0, 8, 1, 512, 30}), config());

    EXPECT_EQ(-13, SetCTSMode(p, -1));
    EXPECT_EQ(-13, SetCTSMode(p, 3));
    EXPECT_EQ(0, SetCTSMode(p, 0));
    EXPECT_EQ(-13, ComSetEscape(p, 1)) << "stop transmitting needs XON/XOFF";
    EXPECT_EQ(-13, ComSetEscape(p, 2));
    EXPECT_EQ(-13, ComSetEscape(p, 7));
    // Under XON/XOFF, 1 holds the output as an XOFF would and 2 lets it go.
    EXPECT_EQ(0, SetXMode(p, 1));
    EXPECT_EQ(0, ComSetEscape(p, 1));
    EXPECT_EQ(4, ComWrt(p, "held", 4));
    EXPECT_EQ("", peer_read(id, 5, 300));
    EXPECT_EQ(0, ComSetEscape(p, 2));
    EXPECT_EQ("held", peer_read(id, 5, 2000));
    EXPECT_EQ(0, SetXMode(p, 0));
    EXPECT_EQ(-104, ComBreak(p, -1));
    EXPECT_EQ(-104, rs232err);
    EXPECT_EQ(0, ComBreak(p, 5));
    EXPECT_EQ(-8, GetSystemComHandle(p, nullptr));
    for (const int mask : {-1, 0x200, 0x8200, 0x10000})
        EXPECT_EQ(-13, InstallComCallback(p, mask, 0, 0, record, nullptr)) << mask;
    EXPECT_EQ(-13, InstallComCallback(p, COM_EVENT_RECEIVE_COUNT, 513, 0, record, nullptr));
    EXPECT_EQ(-13, InstallComCallback(p, COM_EVENT_EVENT_CHAR, 0, 256, record, nullptr));
    EXPECT_EQ(0, InstallComCallback(p, 0, 0, 0, nullptr, nullptr));
    EXPECT_EQ(0, CloseCom(p));

    const std::string long_name(251, 'C');
    EXPECT_EQ(-6, OpenCom(123, long_name.c_str()));
    EXPECT_EQ(-3, CloseCom(123));
}

// Under XON/XOFF the peer's XOFF holds the writer: a write of more than the
// output queue returns what it queued with -99 after the port's time-out,
// and the peer's XON brings exactly those bytes, once. The output-empty
// event reaches the callback only in the installing thread's event pass.
// CloseCom ends a write held so with -3, after waiting the port's time-out
// for the output to drain.
TEST_F(Rs232, XoffHoldsTheWriterAndXonReleasesExactlyWhatWasQueued) {
    Watchdog dog(60s, "XON/XOFF");
    const int p = 124;
    const long id = open_port(p, 512, 512);
    Events e;
    e.port = p;
    ASSERT_EQ(0, SetXMode(p, 1));
    ASSERT_EQ(0, SetComTime(p, 0.5));
    ASSERT_EQ(0, InstallComCallback(p, COM_EVENT_OUTPUT_EMPTY, 0, 0, record, &e));
    ASSERT_EQ("OK", peer_->command("xoff " + std::to_string(id)));
    kez::os::sleep_ms(100);

    const std::string data = pattern(2000, 5);
    const auto t0 = std::chrono::steady_clock::now();
    const int accepted = ComWrt(p, data.data(), data.size());
    EXPECT_GE(elapsed_ms(t0), 490);
    EXPECT_EQ(-99, rs232err);
    EXPECT_EQ(-99, ReturnRS232Err());
    EXPECT_EQ(512, accepted) << "the queue's worth";
    EXPECT_EQ(512, GetOutQLen(p));
    EXPECT_EQ("", peer_read(id, 1, 200)) << "a byte passed the XOFF";

    ASSERT_EQ("OK", peer_->command("xon " + std::to_string(id)));
    const std::string got = peer_read(id, data.size(), 3000);
    ASSERT_GT(accepted, 0);
    EXPECT_EQ(data.substr(0, static_cast<std::size_t>(accepted)), got);
    EXPECT_EQ("", peer_read(id, 1, 300)) << "bytes went twice";
    EXPECT_TRUE(eventually([&] { return GetOutQLen(p) == 0; }));
    EXPECT_EQ(0, ComWrt(p, data.data(), 0));
    EXPECT_EQ(10, ComWrt(p, data.data(), 10));
    EXPECT_EQ(0, rs232err);
    EXPECT_EQ(data.substr(0, 10), peer_read(id, 11, 3000));
    EXPECT_TRUE(eventually([&] { return GetOutQLen(p) == 0; }));
    kez::os::sleep_ms(50);
    {
        std::lock_guard<std::mutex> lock(e.m);
        EXPECT_TRUE(e.words.empty()) << "a callback ran outside the event pass";
    }
    EXPECT_TRUE(eventually([&] {
        pump(e);
        std::lock_guard<std::mutex> lock(e.m);
        return !e.words.empty();
    }));
    {
        std::lock_guard<std::mutex> lock(e.m);
        for (int w : e.words) EXPECT_EQ(COM_EVENT_OUTPUT_EMPTY, w);
    }
    EXPECT_EQ(0, e.foreign.load());
    EXPECT_EQ(0, e.outside_pump.load());
    EXPECT_EQ(0, e.wrong_port.load());

    // A write held by XOFF with no time-out, ended by CloseCom.
    ASSERT_EQ("OK", peer_->command("xoff " + std::to_string(id)));
    kez::os::sleep_ms(100);
    ASSERT_EQ(0, SetComTime(p, 0));
    int held = 1;
    std::thread writer([&] {
        held = ComWrt(p, data.data(), data.size());
        EXPECT_EQ(-3, ReturnRS232Err());
    });
    EXPECT_TRUE(eventually([&] { return GetOutQLen(p) == 512; }));
    ASSERT_EQ(0, SetComTime(p, 0.3));
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, CloseCom(p));
    EXPECT_GE(elapsed_ms(t1), 290) << "CloseCom did not wait for the output";
    e.closed = true;
    writer.join();
    EXPECT_EQ(-3, held);
    pump(e);
    EXPECT_EQ(0, e.after_close.load());
    ASSERT_EQ("OK", peer_->command("xon " + std::to_string(id)));
    EXPECT_EQ("", peer_read(id, 1, 300)) << "queued bytes went after the close";
}

// Faults injected into the binding: VISA statuses of viOpen become their
// codes, and a failed device write is the writer's pending error, taken by
// the next ComWrt (which queues nothing) or by ReturnRS232Err.
TEST_F(Rs232, VisaFailuresGiveTheirCodes) {
    Watchdog dog(60s, "VISA failures");
    const int p = 128;
    const long id = open_port(p);
    ASSERT_EQ(0, CloseCom(p));
    const struct {
        unsigned status;
        int code;
    } opens[] = {{0xBFFF0072u, -7}, {0xBFFF003Cu, -12}, {0xBFFF0011u, -5}, {0xBFFF0015u, -99}};
    for (const auto &o : opens) {
        KezTest_ArmFaultEx("visa.viOpen", 1, 0, o.status);
        EXPECT_EQ(o.code, OpenCom(p, "")) << std::hex << o.status;
        KezTest_ArmFault("visa.viOpen", 0);
        EXPECT_EQ(o.code, rs232err);
        EXPECT_EQ(-3, CloseCom(p));
    }
    ASSERT_EQ(0, OpenComConfig(p, "", 115200, 0, 8, 1, 512, 512));
    ASSERT_EQ(0, SetComTime(p, 1.0));
    for (const bool by_return : {false, true}) {
        KezTest_ArmFaultEx("visa.viWrite", 1, 0, 0xBFFF003Eu);  // VI_ERROR_IO
        EXPECT_EQ(3, ComWrt(p, "abc", 3));
        // Whether the writer sends the bytes again after the failure is its
        // own affair; they arrive at most once.
        const std::string first = peer_read(id, 4, 500);
        EXPECT_TRUE(first.empty() || first == "abc") << first;
        KezTest_ArmFault("visa.viWrite", 0);
        if (by_return) {
            EXPECT_EQ(-4, ReturnRS232Err());
            EXPECT_EQ(-4, ReturnRS232Err()) << "kept as the thread's last status";
        } else {
            EXPECT_EQ(-4, ComWrt(p, "xyz", 3));
            EXPECT_EQ(-4, rs232err);
        }
        EXPECT_EQ(3, ComWrt(p, "123", 3));
        EXPECT_EQ(0, ReturnRS232Err());
        EXPECT_EQ("123", peer_read(id, 4, 2000)) << (by_return ? "after ReturnRS232Err" : "after ComWrt");
    }
    EXPECT_EQ(0, CloseCom(p));
}

// Open, install, close, a thousand times over two ports at once while the
// peer floods both: callbacks come only on the installing thread in its
// event pass, never for a closed session, and never to the next session of
// the port. Breaks and line errors raised on the session give their status
// bits and event words.
TEST_F(Rs232, OpenInstallCloseCyclesUnderAFlood) {
    Watchdog dog(180s, "open/close cycles");
    ASSERT_NE(nullptr, raise_fn()) << "kezvisa_raise not found";
    const int ports[] = {125, 126};
    std::vector<long> ids;
    for (int p : ports) {
        ids.push_back(pair(p));
        ASSERT_EQ("OK", peer_->command("flood " + std::to_string(ids.back()) + " 32 1"));
    }
    constexpr int kCycles = 500;  // each port
    std::atomic<int> failures{0};
    const auto cycle = [&](int p) {
        std::vector<std::unique_ptr<Events>> all;
        char buf[64];
        for (int i = 0; i < kCycles && failures < 5; ++i) {
            all.push_back(std::make_unique<Events>());
            Events &e = *all.back();
            e.port = p;
            const int opened = OpenComConfig(p, "", 115200, 0, 8, 1, 512, 512);
            const int installed =
                InstallComCallback(p, COM_EVENT_CHAR | COM_EVENT_BREAK | COM_EVENT_LINE_ERROR, 0, 0, record, &e);
            if (opened != 0 || installed != 0) {
                ADD_FAILURE() << "port " << p << " cycle " << i << ": open " << opened << ", install " << installed;
                ++failures;
                CloseCom(p);
                continue;
            }
            SetComTime(p, 0.002);
            ComRd(p, buf, sizeof buf);
            std::vector<int> want;
            if (i % 10 == 0 || i % 10 == 5) {
                const struct {
                    ViEventType type;
                    ViStatus status;
                    int bit, word;
                } raised[] = {
                    {VI_EVENT_ASRL_BREAK, VI_SUCCESS, COM_STAT_BREAK, COM_EVENT_BREAK},
                    {VI_EVENT_EXCEPTION, VI_ERROR_ASRL_PARITY, COM_STAT_PARITY, COM_EVENT_LINE_ERROR},
                    {VI_EVENT_EXCEPTION, VI_ERROR_ASRL_OVERRUN, COM_STAT_OVERRUN, COM_EVENT_LINE_ERROR},
                    {VI_EVENT_EXCEPTION, VI_ERROR_ASRL_FRAMING, COM_STAT_FRAMING, COM_EVENT_LINE_ERROR},
                };
                for (const auto &r : raised) {
                    EXPECT_EQ(VI_SUCCESS, raise_on(p, r.type, r.status));
                    EXPECT_EQ(r.bit, GetComStat(p)) << "port " << p << " cycle " << i;
                    EXPECT_EQ(0, GetComStat(p)) << "cleared when read";
                    want.push_back(r.word);
                }
            }
            // Every fifth cycle's events are left queued when the port closes.
            if (i % 10 != 5) pump(e);
            const int closed = CloseCom(p);
            e.closed = true;
            if (closed != 0) {
                ADD_FAILURE() << "port " << p << " cycle " << i << ": close " << closed;
                ++failures;
            }
            pump(e);
            std::lock_guard<std::mutex> lock(e.m);
            if (i % 10 == 5) want.clear();
            if (e.words != want) {
                ADD_FAILURE() << "port " << p << " cycle " << i << ": " << e.words.size() << " events, "
                              << want.size() << " wanted";
                ++failures;
            }
        }
        int chars = 0;
        for (const auto &e : all) {
            EXPECT_EQ(0, e->foreign.load()) << "port " << p;
            EXPECT_EQ(0, e->outside_pump.load()) << "port " << p;
            EXPECT_EQ(0, e->after_close.load()) << "port " << p;
            EXPECT_EQ(0, e->wrong_port.load()) << "port " << p;
            chars += e->chars;
        }
        EXPECT_GT(chars, 0) << "port " << p << ": no character events under the flood";
    };
    std::thread other(cycle, ports[1]);
    cycle(ports[0]);
    other.join();
    for (long id : ids) EXPECT_EQ("OK", peer_->command("flood " + std::to_string(id) + " 0 0"));
}

// Last in the program (it leaves the pair busy): a mebibyte each way at
// once, ComRd with no time-out on one thread and ComWrt on another; a
// waiting ComRd does not hold up ComWrt, and CloseCom from a third thread
// drains the queued output and ends the ComRd with -3.
TEST_F(Rs232, MebibyteBothWaysAndCloseEndsAWaitingRead) {
    Watchdog dog(240s, "a mebibyte each way");
    const int p = 127;
    const long id = open_port(p, 65536, 65536);
    ASSERT_EQ(0, SetComTime(p, 0));
    const std::size_t n = 1 << 20;
    ASSERT_EQ("OK", peer_->command("sink " + std::to_string(id) + " 9"));
    ASSERT_EQ("OK", peer_->command("send " + std::to_string(id) + " " + std::to_string(n) + " 7"));
    std::string in(n, '\0');
    const std::string out = pattern(n, 9);
    int read = 0, written = 0;
    std::thread reader([&] { read = ComRd(p, &in[0], n); });
    std::thread writer([&] { written = ComWrt(p, out.data(), n); });
    reader.join();
    writer.join();
    EXPECT_EQ(static_cast<int>(n), read);
    EXPECT_EQ(static_cast<int>(n), written);
    EXPECT_TRUE(in == pattern(n, 7)) << "the bytes read differ";
    const auto sunk = [&](std::size_t want) {
        std::vector<std::string> counts;
        const bool done = eventually([&] {
            counts = peer_->ask("count " + std::to_string(id));
            return counts.size() == 2 && counts[0] == std::to_string(want);
        }, 60s);
        EXPECT_TRUE(done) << peer_->last_reply;
        return counts.size() == 2 ? counts[1] : "none";
    };
    EXPECT_EQ("-1", sunk(n)) << "first byte that differs";

    // A read waiting without a time-out; writes go on meanwhile.
    int waiting = 1, waiting_status = 1;
    std::atomic<bool> returned{false};
    std::thread blocked([&] {
        char buf[10];
        waiting = ComRd(p, buf, sizeof buf);
        waiting_status = ReturnRS232Err();
        returned = true;
    });
    kez::os::sleep_ms(100);
    const std::size_t more = 60000;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(static_cast<int>(more), ComWrt(p, pattern(more, 9, n).data(), more));
    EXPECT_LT(elapsed_ms(t0), 20000);
    EXPECT_FALSE(returned.load());
    int closed = 1;
    std::thread closer([&] { closed = CloseCom(p); });
    closer.join();
    blocked.join();
    EXPECT_EQ(0, closed);
    EXPECT_EQ(-3, waiting);
    EXPECT_EQ(-3, waiting_status);
    EXPECT_EQ("-1", sunk(n + more)) << "CloseCom delivers what was queued";
}

}  // namespace
