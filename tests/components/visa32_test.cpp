// The serial VISA component (components/visa32), loaded by name as the
// RS-232 library will load it, against pseudo-terminal pairs made by the
// serial peer: COMn is a link com<n> to a pair's slave, in $KEZ_SERIAL_DIR
// on Linux and in the Wine prefix's dosdevices under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// The component's entry points.
struct Visa {
#define KEZ_VISA_ENTRY(name) decltype(&::name) name = nullptr;
#define KEZ_VISA_ENTRIES(X)                                                                                          \
    X(viOpenDefaultRM) X(viFindRsrc) X(viFindNext) X(viOpen) X(viClose) X(viSetAttribute) X(viGetAttribute)          \
    X(viStatusDesc) X(viTerminate) X(viEnableEvent) X(viDisableEvent) X(viDiscardEvents) X(viWaitOnEvent)             \
    X(viInstallHandler) X(viUninstallHandler) X(viRead) X(viWrite) X(viSetBuf) X(viFlush) X(viClear)                \
    X(viAssertTrigger) X(viReadAsync) X(kezvisa_raise)
    KEZ_VISA_ENTRIES(KEZ_VISA_ENTRY)
    bool load() {
        kez::os::Module m = kez::os::module_load("visa32.dll");
        if (m == nullptr) return false;
#define KEZ_VISA_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(kez::os::module_symbol(m, #name));
        KEZ_VISA_ENTRIES(KEZ_VISA_RESOLVE)
        return kezvisa_raise != nullptr && viOpen != nullptr && viReadAsync != nullptr;
    }
};
Visa v;

std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(kez::test::pattern_byte(i, seed));
    return s;
}

std::string hex(ViStatus st) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(static_cast<ViUInt32>(st)));
    return text;
}
#define EXPECT_STATUS(want, got) EXPECT_EQ(hex(want), hex(got))
#define ASSERT_STATUS(want, got) ASSERT_EQ(hex(want), hex(got))

class Visa32 : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(v.load()) << "visa32 not found through KEZ_COMPONENT_PATH";
        ASSERT_EQ(kez::os::net::startup(nullptr), 0);
    }
    static void TearDownTestSuite() { kez::os::net::cleanup(); }

    void SetUp() override {
        char prefix[1024];
        if (kez::test::under_wine()) {
            ASSERT_TRUE(kez::os::env_get("WINEPREFIX", prefix, sizeof prefix)) << "WINEPREFIX not set";
            dir_ = std::string(prefix) + "/dosdevices";
        } else {
            temp_ = std::make_unique<kez::test::TempDir>();
            dir_ = temp_->str();
            ASSERT_TRUE(kez::os::env_set("KEZ_SERIAL_DIR", dir_.c_str()));
        }
        peer_ = std::make_unique<SerialPeer>();
        ASSERT_TRUE(peer_->ok()) << "the serial peer did not answer";
        ASSERT_STATUS(VI_SUCCESS, v.viOpenDefaultRM(&rm_));
    }
    void TearDown() override {
        if (rm_ != 0) {
            EXPECT_STATUS(VI_SUCCESS, v.viClose(rm_));
        }
        peer_.reset();  // removes its links
    }

    // A pair linked as COMn and a session on it, reads ending on count or
    // time only.
    long pair(int n) {
        const long id = peer_->open(dir_, n);
        EXPECT_GE(id, 0) << peer_->last_reply;
        return id;
    }
    ViSession open(int n) {
        ViSession vi = 0;
        EXPECT_STATUS(VI_SUCCESS, v.viOpen(rm_, ("ASRL" + std::to_string(n) + "::INSTR").c_str(), VI_NULL, 0, &vi));
        EXPECT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_ASRL_END_IN, VI_ASRL_END_NONE));
        return vi;
    }
    ViUInt32 avail(ViSession vi) {
        ViUInt32 n = 0;
        v.viGetAttribute(vi, VI_ATTR_ASRL_AVAIL_NUM, &n);
        return n;
    }

    std::string dir_;
    std::unique_ptr<kez::test::TempDir> temp_;
    std::unique_ptr<SerialPeer> peer_;
    ViSession rm_ = 0;
};

TEST_F(Visa32, OpenNamesAndClose) {
    pair(101);
    const struct {
        const char *name;
        ViStatus status;
    } cases[] = {
        {"ASRL101::INSTR", VI_SUCCESS}, {"asrl101::instr", VI_SUCCESS},        {"ASRL101", VI_SUCCESS},
        {"COM101", VI_SUCCESS},         {"ASRL102::INSTR", VI_ERROR_RSRC_NFOUND}, {"ASRL0::INSTR", VI_ERROR_RSRC_NFOUND},
        {"ASRL257::INSTR", VI_ERROR_RSRC_NFOUND}, {"ASRL::INSTR", VI_ERROR_INV_RSRC_NAME},
        {"ASRL101::SOCKET", VI_ERROR_INV_RSRC_NAME}, {"GPIB0::1::INSTR", VI_ERROR_INV_RSRC_NAME},
    };
    for (const auto &c : cases) {
        ViSession vi = 77;
        EXPECT_STATUS(c.status, v.viOpen(rm_, c.name, VI_NULL, 0, &vi)) << c.name;
        if (c.status == VI_SUCCESS) {
            ViChar text[VI_FIND_BUFLEN];
            EXPECT_STATUS(VI_SUCCESS, v.viGetAttribute(vi, VI_ATTR_RSRC_NAME, text));
            EXPECT_STREQ("ASRL101::INSTR", text);
            EXPECT_STATUS(VI_SUCCESS, v.viGetAttribute(vi, VI_ATTR_INTF_INST_NAME, text));
            if (!kez::test::under_wine()) {
                EXPECT_EQ("ASRL101 (COM101 " + peer_->slave + ")", std::string(text));
            }
            EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
            EXPECT_STATUS(VI_ERROR_INV_OBJECT, v.viClose(vi)) << "closed twice";
        } else {
            EXPECT_EQ(0u, vi) << c.name;
        }
    }
    ViSession vi = 0;
    EXPECT_STATUS(VI_ERROR_INV_SESSION, v.viOpen(rm_ + 999, "ASRL101::INSTR", VI_NULL, 0, &vi));
    EXPECT_STATUS(VI_ERROR_INV_ACC_MODE, v.viOpen(rm_, "ASRL101::INSTR", 3, 0, &vi));
    EXPECT_STATUS(VI_WARN_NULL_OBJECT, v.viClose(VI_NULL));
    // The resource manager's close closes its sessions.
    ViSession rm2 = 0;
    ASSERT_STATUS(VI_SUCCESS, v.viOpenDefaultRM(&rm2));
    ASSERT_STATUS(VI_SUCCESS, v.viOpen(rm2, "ASRL101::INSTR", VI_NULL, 0, &vi));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(rm2));
    EXPECT_STATUS(VI_ERROR_INV_OBJECT, v.viClose(vi));
    EXPECT_STATUS(VI_SUCCESS, v.viOpen(rm_, "ASRL101::INSTR", VI_NULL, 0, &vi)) << "the port stayed taken";
}

TEST_F(Visa32, FindListsThePortsPresent) {
    for (int n : {140, 101, 103}) pair(n);
    struct Case {
        const char *expr;
        ViStatus status;
        std::vector<std::string> names;  // ours among them, in order
    };
    const Case cases[] = {
        {"ASRL?*INSTR", VI_SUCCESS, {"ASRL101::INSTR", "ASRL103::INSTR", "ASRL140::INSTR"}},
        {"?*", VI_SUCCESS, {"ASRL101::INSTR", "ASRL103::INSTR", "ASRL140::INSTR"}},
        {"asrl10?::INSTR", VI_SUCCESS, {"ASRL101::INSTR", "ASRL103::INSTR"}},
        {"ASRL140::INSTR", VI_SUCCESS, {"ASRL140::INSTR"}},
        {"ASRL102::INSTR", VI_ERROR_RSRC_NFOUND, {}},
        {"GPIB?*INSTR", VI_ERROR_RSRC_NFOUND, {}},
        {"ASRL[", VI_ERROR_INV_EXPR, {}},
    };
    for (const Case &c : cases) {
        ViFindList list = 0;
        ViUInt32 count = 99;
        ViChar desc[VI_FIND_BUFLEN] = "";
        ASSERT_STATUS(c.status, v.viFindRsrc(rm_, c.expr, &list, &count, desc)) << c.expr;
        std::vector<std::string> found;
        if (c.status == VI_SUCCESS) {
            found.push_back(desc);
            for (ViUInt32 i = 1; i < count; ++i) {
                EXPECT_STATUS(VI_SUCCESS, v.viFindNext(list, desc));
                found.push_back(desc);
            }
            EXPECT_STATUS(VI_ERROR_RSRC_NFOUND, v.viFindNext(list, desc)) << c.expr;
            EXPECT_STATUS(VI_SUCCESS, v.viClose(list));
        } else {
            EXPECT_EQ(0u, count);
        }
        if (kez::test::under_wine()) {  // the prefix may have ports of its own
            std::vector<std::string> ours;
            for (const std::string &f : found)
                if (f == "ASRL101::INSTR" || f == "ASRL103::INSTR" || f == "ASRL140::INSTR") ours.push_back(f);
            found = ours;
        }
        EXPECT_EQ(c.names, found) << c.expr;
    }
}

TEST_F(Visa32, AttributesReadBackAsTheDeviceHasThem) {
    pair(105);
    const ViSession vi = open(105);
    struct Case {
        ViAttr attr;
        ViAttrState value;
        ViStatus status;
        std::size_t size;     // bytes viGetAttribute writes
        long long readback;   // -2: read back unchanged from before
    };
    // A pseudo-terminal keeps 8 data bits without parity, has no modem lines
    // and cannot tell whether a peer is connected.
    const Case cases[] = {
        {VI_ATTR_TMO_VALUE, 12345, VI_SUCCESS, 4, 12345},
        {VI_ATTR_TMO_VALUE, VI_TMO_INFINITE, VI_SUCCESS, 4, 0xFFFFFFFFll},
        {VI_ATTR_ASRL_BAUD, 115200, VI_SUCCESS, 4, 115200},
        {VI_ATTR_ASRL_BAUD, 12345, VI_ERROR_NSUP_ATTR_STATE, 4, 115200},
        {VI_ATTR_ASRL_DATA_BITS, 7, VI_WARN_NSUP_ATTR_STATE, 2, 8},
        {VI_ATTR_ASRL_DATA_BITS, 9, VI_ERROR_NSUP_ATTR_STATE, 2, 8},
        {VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_EVEN, VI_WARN_NSUP_ATTR_STATE, 2, VI_ASRL_PAR_NONE},
        {VI_ATTR_ASRL_PARITY, 5, VI_ERROR_NSUP_ATTR_STATE, 2, VI_ASRL_PAR_NONE},
        {VI_ATTR_ASRL_STOP_BITS, VI_ASRL_STOP_TWO, VI_SUCCESS, 2, VI_ASRL_STOP_TWO},
        {VI_ATTR_ASRL_STOP_BITS, 12, VI_ERROR_NSUP_ATTR_STATE, 2, VI_ASRL_STOP_TWO},
        {VI_ATTR_ASRL_STOP_BITS, VI_ASRL_STOP_ONE, VI_SUCCESS, 2, VI_ASRL_STOP_ONE},
        {VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_XON_XOFF, VI_SUCCESS, 2, VI_ASRL_FLOW_XON_XOFF},
        {VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_NONE, VI_SUCCESS, 2, VI_ASRL_FLOW_NONE},
        {VI_ATTR_ASRL_XON_CHAR, 0x21, VI_SUCCESS, 1, 0x21},
        {VI_ATTR_ASRL_XOFF_CHAR, 0x23, VI_SUCCESS, 1, 0x23},
        {VI_ATTR_ASRL_XOFF_CHAR, 256, VI_ERROR_NSUP_ATTR_STATE, 1, 0x23},
        {VI_ATTR_ASRL_END_IN, VI_ASRL_END_TERMCHAR, VI_SUCCESS, 2, VI_ASRL_END_TERMCHAR},
        {VI_ATTR_ASRL_END_IN, VI_ASRL_END_BREAK, VI_ERROR_NSUP_ATTR_STATE, 2, VI_ASRL_END_TERMCHAR},
        {VI_ATTR_ASRL_END_OUT, VI_ASRL_END_BREAK, VI_SUCCESS, 2, VI_ASRL_END_BREAK},
        {VI_ATTR_ASRL_END_OUT, 4, VI_ERROR_NSUP_ATTR_STATE, 2, VI_ASRL_END_BREAK},
        {VI_ATTR_TERMCHAR, 0x0D, VI_SUCCESS, 1, 0x0D},
        {VI_ATTR_TERMCHAR_EN, VI_TRUE, VI_SUCCESS, 2, VI_TRUE},
        {VI_ATTR_TERMCHAR_EN, 2, VI_ERROR_NSUP_ATTR_STATE, 2, VI_TRUE},
        {VI_ATTR_ASRL_BREAK_STATE, VI_STATE_ASSERTED, VI_SUCCESS, 2, VI_STATE_ASSERTED},
        {VI_ATTR_ASRL_BREAK_STATE, VI_STATE_UNASSERTED, VI_SUCCESS, 2, VI_STATE_UNASSERTED},
        {VI_ATTR_ASRL_ALLOW_TRANSMIT, VI_FALSE, VI_SUCCESS, 2, VI_FALSE},
        {VI_ATTR_ASRL_ALLOW_TRANSMIT, 2, VI_ERROR_NSUP_ATTR_STATE, 2, VI_FALSE},
        {VI_ATTR_ASRL_ALLOW_TRANSMIT, VI_TRUE, VI_SUCCESS, 2, VI_TRUE},
        {VI_ATTR_ASRL_DTR_STATE, VI_STATE_ASSERTED, VI_WARN_NSUP_ATTR_STATE, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_RTS_STATE, VI_STATE_UNASSERTED, VI_WARN_NSUP_ATTR_STATE, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_CTS_STATE, VI_STATE_ASSERTED, VI_ERROR_ATTR_READONLY, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_DSR_STATE, 0, VI_ERROR_ATTR_READONLY, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_DCD_STATE, 0, VI_ERROR_ATTR_READONLY, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_RI_STATE, 0, VI_ERROR_ATTR_READONLY, 2, VI_STATE_UNKNOWN},
        {VI_ATTR_ASRL_AVAIL_NUM, 5, VI_ERROR_ATTR_READONLY, 4, 0},
        {VI_ATTR_INTF_TYPE, 1, VI_ERROR_ATTR_READONLY, 2, VI_INTF_ASRL},
        {VI_ATTR_INTF_NUM, 1, VI_ERROR_ATTR_READONLY, 2, 105},
        {VI_ATTR_USER_DATA, 0x1122334455667788ull, VI_SUCCESS, sizeof(void *), 0x1122334455667788ll},
    };
    for (const Case &c : cases) {
        const std::string what = hex(static_cast<ViStatus>(c.attr)) + " = " + std::to_string(c.value);
        EXPECT_STATUS(c.status, v.viSetAttribute(vi, c.attr, c.value)) << what;
        unsigned char out[16];
        std::memset(out, 0xA5, sizeof out);
        ASSERT_STATUS(VI_SUCCESS, v.viGetAttribute(vi, c.attr, out)) << what;
        long long got = 0;
        if (c.size == 1) got = out[0];
        if (c.size == 2) got = c.readback < 0 ? static_cast<long long>(*reinterpret_cast<ViInt16 *>(out))
                                              : *reinterpret_cast<ViUInt16 *>(out);
        if (c.size == 4) got = *reinterpret_cast<ViUInt32 *>(out);
        if (c.size == 8) got = *reinterpret_cast<long long *>(out);
        EXPECT_EQ(c.readback, got) << what;
        EXPECT_EQ(0xA5, out[c.size]) << what << ": wrote past the attribute's size";
    }
    unsigned char out[16];
    EXPECT_STATUS(VI_ERROR_NSUP_ATTR, v.viGetAttribute(vi, VI_ATTR_ASRL_CONNECTED, out));
    EXPECT_STATUS(VI_ERROR_NSUP_ATTR, v.viSetAttribute(vi, 0x3FFF7777, 1));
    EXPECT_STATUS(VI_ERROR_NSUP_ATTR, v.viGetAttribute(vi, 0x3FFF7777, out));
    EXPECT_STATUS(VI_ERROR_INV_OBJECT, v.viGetAttribute(vi + 999, VI_ATTR_TMO_VALUE, out));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

TEST_F(Visa32, ReadsEndOnCountTerminationOrTimeOut) {
    const long id = pair(107);
    const ViSession vi = open(107);
    struct Case {
        const char *what;
        std::string sent;
        ViUInt16 end_in;
        bool termchar_en;
        ViUInt32 count, tmo;
        ViStatus status;
        std::string got;
    };
    const Case cases[] = {
        {"fewer than asked", "abc", VI_ASRL_END_NONE, false, 10, 50, VI_ERROR_TMO, "abc"},
        {"nothing, no waiting", "", VI_ASRL_END_NONE, false, 10, 0, VI_ERROR_TMO, ""},
        {"nothing in time", "", VI_ASRL_END_NONE, false, 10, 30, VI_ERROR_TMO, ""},
        {"exactly the count", "12345", VI_ASRL_END_NONE, false, 5, 0, VI_SUCCESS_MAX_CNT, "12345"},
        {"count of more", "123456", VI_ASRL_END_NONE, false, 4, 0, VI_SUCCESS_MAX_CNT, "1234"},
        {"the rest", "", VI_ASRL_END_NONE, false, 4, 0, VI_ERROR_TMO, "56"},
        {"end on the termination", "ab\ncd", VI_ASRL_END_TERMCHAR, false, 10, 1000, VI_SUCCESS, "ab\n"},
        {"after the termination", "", VI_ASRL_END_TERMCHAR, false, 10, 0, VI_ERROR_TMO, "cd"},
        {"termination character", "x\ny", VI_ASRL_END_NONE, true, 10, 1000, VI_SUCCESS_TERM_CHAR, "x\n"},
        {"zero count", "", VI_ASRL_END_NONE, true, 0, 0, VI_SUCCESS_MAX_CNT, ""},
        {"left over", "", VI_ASRL_END_NONE, false, 10, 0, VI_ERROR_TMO, "y"},
    };
    std::size_t waiting = 0;
    for (const Case &c : cases) {
        ASSERT_TRUE(peer_->write(id, c.sent)) << c.what;
        waiting += c.sent.size();
        // Read only once everything sent is in.
        ASSERT_TRUE(eventually([&] { return avail(vi) == waiting; })) << c.what << ": " << avail(vi);
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_ASRL_END_IN, c.end_in));
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, c.termchar_en));
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TMO_VALUE, c.tmo));
        char buf[16];
        ViUInt32 got = 99;
        EXPECT_STATUS(c.status, v.viRead(vi, reinterpret_cast<ViBuf>(buf), c.count, &got)) << c.what;
        EXPECT_EQ(c.got, std::string(buf, got)) << c.what;
        waiting -= got;
    }
    EXPECT_STATUS(VI_ERROR_INV_OBJECT, v.viRead(vi + 999, nullptr, 0, nullptr));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

TEST_F(Visa32, WritesAddTheEndAndFlushesDiscard) {
    const long id = pair(108);
    const ViSession vi = open(108);
    const struct {
        ViUInt16 end_out;
        bool send_end;
        const char *data;
        std::string arrives;
    } cases[] = {
        {VI_ASRL_END_NONE, true, "ab", "ab"},
        {VI_ASRL_END_TERMCHAR, true, "ab", "ab\n"},
        {VI_ASRL_END_TERMCHAR, false, "ab", "ab"},
        {VI_ASRL_END_LAST_BIT, true, "ab", "a\xE2"},
    };
    for (const auto &c : cases) {
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_ASRL_END_OUT, c.end_out));
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_SEND_END_EN, c.send_end));
        ViUInt32 n = 0;
        EXPECT_STATUS(VI_SUCCESS, v.viWrite(vi, reinterpret_cast<ViConstBuf>(c.data), 2, &n));
        EXPECT_EQ(2u, n) << "the count leaves out what was added";
        EXPECT_EQ(c.arrives, peer_->read(id, c.arrives.size() + 1, 300));
    }
    EXPECT_STATUS(VI_SUCCESS, v.viAssertTrigger(vi, VI_TRIG_PROT_DEFAULT));
    EXPECT_EQ("*TRG\n", peer_->read(id, 6, 300));
    EXPECT_STATUS(VI_ERROR_INV_PROT, v.viAssertTrigger(vi, 5));
    ASSERT_TRUE(peer_->write(id, "stale"));
    ASSERT_TRUE(eventually([&] { return avail(vi) == 5; }));
    EXPECT_STATUS(VI_SUCCESS, v.viFlush(vi, VI_READ_BUF_DISCARD | VI_IO_IN_BUF_DISCARD));
    EXPECT_EQ(0u, avail(vi));
    EXPECT_STATUS(VI_ERROR_INV_MASK, v.viFlush(vi, 0));
    EXPECT_STATUS(VI_ERROR_INV_MASK, v.viFlush(vi, 0x100));
    EXPECT_STATUS(VI_SUCCESS, v.viFlush(vi, VI_WRITE_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD));
    EXPECT_STATUS(VI_ERROR_INV_MASK, v.viSetBuf(vi, VI_READ_BUF_DISCARD, 100));
    EXPECT_STATUS(VI_SUCCESS, v.viClear(vi));
    ViJobId job = 0;
    EXPECT_STATUS(VI_ERROR_NSUP_OPER, v.viReadAsync(vi, nullptr, 1, &job));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

// A small input buffer: the reader stops taking bytes while it is full, and
// nothing is lost.
TEST_F(Visa32, SmallInputBufferHoldsBackWithoutLoss) {
    const long id = pair(109);
    const ViSession vi = open(109);
    ASSERT_STATUS(VI_SUCCESS, v.viSetBuf(vi, VI_IO_IN_BUF, 16));
    ViUInt32 size = 0;
    EXPECT_STATUS(VI_SUCCESS, v.viGetAttribute(vi, VI_ATTR_RD_BUF_SIZE, &size));
    EXPECT_EQ(16u, size);
    ASSERT_TRUE(peer_->write(id, pattern(1000, 3)));
    std::string in(1000, '\0');
    ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000));
    ViUInt32 got = 0;
    EXPECT_STATUS(VI_SUCCESS_MAX_CNT, v.viRead(vi, reinterpret_cast<ViBuf>(&in[0]), 1000, &got));
    EXPECT_EQ(1000u, got);
    EXPECT_TRUE(in == pattern(1000, 3));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

struct Seen {
    std::mutex m;
    std::vector<ViEventType> types;
    std::vector<ViStatus> statuses;
    std::thread::id thread;
    std::atomic<int> calls{0};
};
const Visa *g_v = &v;

ViStatus recording_handler(ViSession, ViEventType type, ViEvent ev, ViAddr user) {
    Seen *seen = static_cast<Seen *>(user);
    ViEventType ctx_type = 0;
    ViStatus status = 0;
    g_v->viGetAttribute(ev, VI_ATTR_EVENT_TYPE, &ctx_type);
    g_v->viGetAttribute(ev, VI_ATTR_STATUS, &status);
    std::lock_guard<std::mutex> lk(seen->m);
    seen->types.push_back(ctx_type == type ? type : 0);
    seen->statuses.push_back(status);
    seen->thread = std::this_thread::get_id();
    ++seen->calls;
    return VI_SUCCESS;
}

TEST_F(Visa32, CharEventsReachAHandlerOnTheReaderThreadAndTheQueue) {
    Watchdog dog(60s, "char events");
    const long id = pair(110);
    const ViSession vi = open(110);
    Seen seen;
    EXPECT_STATUS(VI_ERROR_HNDLR_NINSTALLED, v.viEnableEvent(vi, VI_EVENT_ASRL_CHAR, VI_HNDLR, VI_NULL));
    EXPECT_STATUS(VI_ERROR_INV_HNDLR_REF, v.viInstallHandler(vi, VI_EVENT_ASRL_CHAR, nullptr, &seen));
    ASSERT_STATUS(VI_SUCCESS, v.viInstallHandler(vi, VI_EVENT_ASRL_CHAR, recording_handler, &seen));
    ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(vi, VI_EVENT_ASRL_CHAR, VI_HNDLR | VI_QUEUE, VI_NULL));
    EXPECT_STATUS(VI_SUCCESS_EVENT_EN, v.viEnableEvent(vi, VI_EVENT_ASRL_CHAR, VI_HNDLR, VI_NULL));
    ASSERT_TRUE(peer_->write(id, "hello"));
    ASSERT_TRUE(eventually([&] { return seen.calls == 5; })) << seen.calls;
    {
        std::lock_guard<std::mutex> lk(seen.m);
        EXPECT_NE(std::this_thread::get_id(), seen.thread);
        EXPECT_EQ(std::vector<ViEventType>(5, VI_EVENT_ASRL_CHAR), seen.types);
    }
    for (int i = 0; i < 5; ++i) {
        ViEventType type = 0;
        ViEvent ev = 0;
        ASSERT_STATUS(VI_SUCCESS, v.viWaitOnEvent(vi, VI_EVENT_ASRL_CHAR, 5000, &type, &ev));
        EXPECT_EQ(VI_EVENT_ASRL_CHAR, type);
        EXPECT_STATUS(VI_SUCCESS, v.viClose(ev));
    }
    ViEventType type = 0;
    EXPECT_STATUS(VI_ERROR_TMO, v.viWaitOnEvent(vi, VI_ALL_ENABLED_EVENTS, 0, &type, nullptr));
    EXPECT_STATUS(VI_ERROR_NENABLED, v.viWaitOnEvent(vi, VI_EVENT_ASRL_BREAK, 0, &type, nullptr));
    EXPECT_STATUS(VI_SUCCESS_QUEUE_EMPTY, v.viDiscardEvents(vi, VI_EVENT_ASRL_CHAR, VI_QUEUE));
    ASSERT_TRUE(peer_->write(id, "xy"));
    ASSERT_TRUE(eventually([&] { return seen.calls == 7; }));
    EXPECT_STATUS(VI_SUCCESS, v.viDiscardEvents(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH));
    EXPECT_STATUS(VI_SUCCESS, v.viDisableEvent(vi, VI_EVENT_ASRL_CHAR, VI_ALL_MECH));
    EXPECT_STATUS(VI_SUCCESS_EVENT_DIS, v.viDisableEvent(vi, VI_EVENT_ASRL_CHAR, VI_QUEUE));
    EXPECT_STATUS(VI_SUCCESS, v.viUninstallHandler(vi, VI_EVENT_ASRL_CHAR, recording_handler, &seen));
    EXPECT_STATUS(VI_ERROR_INV_HNDLR_REF, v.viUninstallHandler(vi, VI_EVENT_ASRL_CHAR, recording_handler, &seen));
    EXPECT_STATUS(VI_ERROR_INV_EVENT, v.viEnableEvent(vi, 0xBFFF200A, VI_QUEUE, VI_NULL));
    EXPECT_STATUS(VI_ERROR_INV_MECH, v.viEnableEvent(vi, VI_EVENT_ASRL_CHAR, 8, VI_NULL));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

TEST_F(Visa32, RaisedEventsReachHandlersAndQueue) {
    pair(111);
    const ViSession vi = open(111);
    Seen seen;
    const struct {
        ViEventType type;
        ViStatus status;
    } cases[] = {
        {VI_EVENT_ASRL_BREAK, VI_SUCCESS},  {VI_EVENT_ASRL_CTS, VI_SUCCESS},  {VI_EVENT_ASRL_DSR, VI_SUCCESS},
        {VI_EVENT_ASRL_DCD, VI_SUCCESS},    {VI_EVENT_ASRL_RI, VI_SUCCESS},
        {VI_EVENT_EXCEPTION, VI_ERROR_ASRL_FRAMING}, {VI_EVENT_EXCEPTION, VI_ERROR_ASRL_OVERRUN},
    };
    for (ViEventType type : {VI_EVENT_ASRL_BREAK, VI_EVENT_ASRL_CTS, VI_EVENT_ASRL_DSR, VI_EVENT_ASRL_DCD,
                             VI_EVENT_ASRL_RI, VI_EVENT_EXCEPTION}) {
        ASSERT_STATUS(VI_SUCCESS, v.viInstallHandler(vi, type, recording_handler, &seen));
        ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(vi, type, VI_HNDLR | VI_QUEUE, VI_NULL));
    }
    for (const auto &c : cases) ASSERT_STATUS(VI_SUCCESS, v.kezvisa_raise(vi, c.type, c.status));
    {
        std::lock_guard<std::mutex> lk(seen.m);
        ASSERT_EQ(std::size(cases), seen.types.size()) << "handlers run before the raise returns";
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            EXPECT_EQ(cases[i].type, seen.types[i]);
            EXPECT_STATUS(cases[i].status, seen.statuses[i]);
        }
    }
    for (const auto &c : cases) {
        ViEventType type = 0;
        ViEvent ev = 0;
        ASSERT_STATUS(VI_SUCCESS, v.viWaitOnEvent(vi, VI_ALL_ENABLED_EVENTS, 0, &type, &ev));
        EXPECT_EQ(c.type, type);
        ViStatus status = 0;
        EXPECT_STATUS(VI_SUCCESS, v.viGetAttribute(ev, VI_ATTR_STATUS, &status));
        EXPECT_STATUS(c.status, status);
        EXPECT_STATUS(VI_SUCCESS, v.viClose(ev));
    }
    EXPECT_STATUS(VI_ERROR_INV_EVENT, v.kezvisa_raise(vi, 0xBFFF200A, VI_SUCCESS));
    EXPECT_STATUS(VI_ERROR_INV_OBJECT, v.kezvisa_raise(vi + 999, VI_EVENT_ASRL_BREAK, VI_SUCCESS));
    // Not enabled: neither called nor queued. The queue holds at most its
    // length.
    ASSERT_STATUS(VI_SUCCESS, v.viDisableEvent(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH));
    ASSERT_STATUS(VI_SUCCESS, v.kezvisa_raise(vi, VI_EVENT_ASRL_BREAK, VI_SUCCESS));
    EXPECT_EQ(static_cast<int>(std::size(cases)), seen.calls.load());
    ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_MAX_QUEUE_LENGTH, 3));
    ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(vi, VI_EVENT_ASRL_RI, VI_QUEUE, VI_NULL));
    for (int i = 0; i < 5; ++i) ASSERT_STATUS(VI_SUCCESS, v.kezvisa_raise(vi, VI_EVENT_ASRL_RI, VI_SUCCESS));
    int queued = 0;
    ViEventType type = 0;
    while (v.viWaitOnEvent(vi, VI_EVENT_ASRL_RI, 0, &type, nullptr) == VI_SUCCESS) ++queued;
    EXPECT_EQ(3, queued);
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

// viClose and viTerminate from another thread end a read that waits without
// a time limit: VI_ERROR_ABORT with what was read so far.
TEST_F(Visa32, CloseOrTerminateEndsABlockedRead) {
    Watchdog dog(60s, "blocked read");
    const long id = pair(112);
    for (const bool by_close : {false, true}) {
        const ViSession vi = open(112);
        ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE));
        ASSERT_TRUE(peer_->write(id, "ab"));
        ASSERT_TRUE(eventually([&] { return avail(vi) == 2; }));
        ViStatus status = 0;
        ViUInt32 got = 0;
        char buf[8];
        std::thread reader([&] { status = v.viRead(vi, reinterpret_cast<ViBuf>(buf), 8, &got); });
        ASSERT_TRUE(eventually([&] { return avail(vi) == 0; })) << "the read took the two bytes";
        kez::os::sleep_ms(20);  // let it block
        std::thread ender([&] {
            EXPECT_STATUS(VI_SUCCESS, by_close ? v.viClose(vi) : v.viTerminate(vi, VI_NULL, VI_NULL));
        });
        ender.join();
        reader.join();
        EXPECT_STATUS(VI_ERROR_ABORT, status) << (by_close ? "close" : "terminate");
        EXPECT_EQ(2u, got);
        if (!by_close) {
            EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
        }
    }
}

// The port's device goes away under the session (the peer closes the pair).
TEST_F(Visa32, VanishedDeviceFailsReadsAndWrites) {
    Watchdog dog(60s, "vanished device");
    const long id = pair(113);
    const ViSession vi = open(113);
    ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000));
    ASSERT_EQ("OK", peer_->command("close " + std::to_string(id)));
    char buf[4];
    ViUInt32 got = 9;
    EXPECT_STATUS(VI_ERROR_IO, v.viRead(vi, reinterpret_cast<ViBuf>(buf), 4, &got));
    EXPECT_EQ(0u, got);
    EXPECT_STATUS(VI_ERROR_IO, v.viWrite(vi, reinterpret_cast<ViConstBuf>("abc"), 3, &got));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

TEST_F(Visa32, SecondOpenerGetsBusy) {
    pair(114);
    const std::string name = "ASRL114::INSTR";
    const char *args[] = {name.c_str(), nullptr};
    int code = -1;
    ASSERT_TRUE(kez::os::process_run(KEZ_VISA_OPEN_HELPER, args, 60000, &code));
    EXPECT_EQ(0, code) << "a free port opens in another process";
    ViSession vi = 0, again = 0;
    ASSERT_STATUS(VI_SUCCESS, v.viOpen(rm_, name.c_str(), VI_NULL, 0, &vi));
    ASSERT_TRUE(kez::os::process_run(KEZ_VISA_OPEN_HELPER, args, 60000, &code));
    EXPECT_EQ(static_cast<int>(static_cast<ViUInt32>(VI_ERROR_RSRC_BUSY) & 0xFF), code);
    EXPECT_STATUS(VI_ERROR_RSRC_BUSY, v.viOpen(rm_, name.c_str(), VI_NULL, 0, &again));
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
    ASSERT_TRUE(kez::os::process_run(KEZ_VISA_OPEN_HELPER, args, 60000, &code));
    EXPECT_EQ(0, code) << "free again after the close";
}

struct Blocking {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false, done = false;
};

ViStatus blocking_handler(ViSession, ViEventType, ViEvent, ViAddr user) {
    Blocking *b = static_cast<Blocking *>(user);
    std::unique_lock<std::mutex> lk(b->m);
    b->entered = true;
    b->cv.notify_all();
    b->cv.wait(lk, [&] { return b->release; });
    b->done = true;
    return VI_SUCCESS;
}

// viClose and viUninstallHandler return only after handler calls on other
// threads have ended.
TEST_F(Visa32, CloseAndUninstallWaitForHandlersInFlight) {
    Watchdog dog(60s, "handlers in flight");
    pair(115);
    for (const bool by_close : {false, true}) {
        const ViSession vi = open(115);
        Blocking b;
        ASSERT_STATUS(VI_SUCCESS, v.viInstallHandler(vi, VI_EVENT_ASRL_BREAK, blocking_handler, &b));
        ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(vi, VI_EVENT_ASRL_BREAK, VI_HNDLR, VI_NULL));
        std::thread raiser([&] { EXPECT_STATUS(VI_SUCCESS, v.kezvisa_raise(vi, VI_EVENT_ASRL_BREAK, VI_SUCCESS)); });
        {
            std::unique_lock<std::mutex> lk(b.m);
            b.cv.wait(lk, [&] { return b.entered; });
        }
        bool done_when_returned = false;
        std::thread closer([&] {
            const ViStatus st = by_close ? v.viClose(vi)
                                         : v.viUninstallHandler(vi, VI_EVENT_ASRL_BREAK, blocking_handler, &b);
            EXPECT_STATUS(VI_SUCCESS, st);
            std::lock_guard<std::mutex> lk(b.m);
            done_when_returned = b.done;
        });
        kez::os::sleep_ms(50);  // gives a close that does not wait the time to return early
        {
            std::lock_guard<std::mutex> lk(b.m);
            b.release = true;
        }
        b.cv.notify_all();
        closer.join();
        raiser.join();
        EXPECT_TRUE(done_when_returned) << (by_close ? "viClose" : "viUninstallHandler") << " did not wait";
        if (!by_close) {
            EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
        }
    }
}

struct SelfClose {
    ViSession vi = 0;
    std::atomic<ViStatus> status{1};
    bool uninstall = false;
};

ViStatus self_closing_handler(ViSession vi, ViEventType type, ViEvent, ViAddr user) {
    SelfClose *s = static_cast<SelfClose *>(user);
    s->status = s->uninstall ? g_v->viUninstallHandler(vi, type, self_closing_handler, user) : g_v->viClose(vi);
    return VI_SUCCESS;
}

// A handler may close its own session or uninstall itself, on the reader
// thread (char event) or on a raiser's.
TEST_F(Visa32, HandlerClosesItsOwnSession) {
    Watchdog dog(60s, "handler closing its session");
    const long id = pair(116);
    const struct {
        bool from_reader, uninstall;
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto &c : cases) {
        SelfClose s;
        s.uninstall = c.uninstall;
        s.vi = open(116);
        const ViEventType type = c.from_reader ? VI_EVENT_ASRL_CHAR : VI_EVENT_ASRL_DCD;
        ASSERT_STATUS(VI_SUCCESS, v.viInstallHandler(s.vi, type, self_closing_handler, &s));
        ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(s.vi, type, VI_HNDLR, VI_NULL));
        if (c.from_reader) {
            ASSERT_TRUE(peer_->write(id, "z"));
        } else {
            ASSERT_STATUS(VI_SUCCESS, v.kezvisa_raise(s.vi, type, VI_SUCCESS));
        }
        ASSERT_TRUE(eventually([&] { return s.status != 1; }));
        EXPECT_STATUS(VI_SUCCESS, s.status.load());
        EXPECT_STATUS(c.uninstall ? VI_SUCCESS : VI_ERROR_INV_OBJECT, v.viClose(s.vi));
    }
}

// Many threads raising while others wait on the queue and one closes: every
// event raised before the close is delivered once, nothing hangs.
TEST_F(Visa32, EventsUnderLoad) {
    Watchdog dog(120s, "events under load");
    pair(117);
    const ViSession vi = open(117);
    Seen seen;
    ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_MAX_QUEUE_LENGTH, 1000000));
    ASSERT_STATUS(VI_SUCCESS, v.viInstallHandler(vi, VI_EVENT_ASRL_CTS, recording_handler, &seen));
    ASSERT_STATUS(VI_SUCCESS, v.viEnableEvent(vi, VI_EVENT_ASRL_CTS, VI_HNDLR | VI_QUEUE, VI_NULL));
    const int raisers = 4, each = 500;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < raisers; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < each; ++i) EXPECT_STATUS(VI_SUCCESS, v.kezvisa_raise(vi, VI_EVENT_ASRL_CTS, VI_SUCCESS));
        });
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            ViEvent ev = 0;
            ViEventType type = 0;
            while (taken < raisers * each) {
                const ViStatus st = v.viWaitOnEvent(vi, VI_EVENT_ASRL_CTS, 100, &type, &ev);
                if (st == VI_ERROR_TMO) continue;
                ASSERT_STATUS(VI_SUCCESS, st);
                ++taken;
                EXPECT_STATUS(VI_SUCCESS, v.viClose(ev));
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(raisers * each, taken.load());
    EXPECT_EQ(raisers * each, seen.calls.load());
    // Raising, waiting and closing at once.
    std::vector<std::thread> racers;
    std::atomic<bool> stop{false};
    for (int t = 0; t < 3; ++t)
        racers.emplace_back([&] {
            while (!stop && v.kezvisa_raise(vi, VI_EVENT_ASRL_CTS, VI_SUCCESS) == VI_SUCCESS) {
            }
        });
    racers.emplace_back([&] {
        ViEventType type = 0;
        while (v.viWaitOnEvent(vi, VI_EVENT_ASRL_CTS, VI_TMO_INFINITE, &type, nullptr) == VI_SUCCESS) {
        }
    });
    kez::os::sleep_ms(50);
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
    stop = true;
    for (auto &t : racers) t.join();
}

TEST_F(Visa32, StatusDescriptions) {
    const struct {
        ViStatus status;
        ViStatus returns;
        const char *text;
    } cases[] = {
        {VI_SUCCESS, VI_SUCCESS, "Operation completed successfully."},
        {VI_ERROR_TMO, VI_SUCCESS, "Timeout expired before operation completed."},
        {VI_ERROR_RSRC_BUSY, VI_SUCCESS, "The resource is valid, but VISA cannot currently access it."},
        {static_cast<ViStatus>(0xBFFF7777), VI_WARN_UNKNOWN_STATUS, "Unknown status value 0xBFFF7777"},
    };
    for (const auto &c : cases) {
        ViChar text[VI_FIND_BUFLEN];
        EXPECT_STATUS(c.returns, v.viStatusDesc(rm_, c.status, text));
        EXPECT_STREQ(c.text, text);
    }
}

// Last in the program: under Wine, after this test the next serial peer's
// connection is not accepted (the listener polls readable, the accept loop
// spins until its 30 s pass); not understood yet, see the branch's notes.
TEST_F(Visa32, MebibyteEachWayArrivesIntact) {
    Watchdog dog(240s, "1 MiB each way");
    const long id = pair(106);
    const ViSession vi = open(106);
    const std::size_t n = 1 << 20;
    ASSERT_STATUS(VI_SUCCESS, v.viSetAttribute(vi, VI_ATTR_TMO_VALUE, 20000));
    ASSERT_STATUS(VI_SUCCESS, v.viSetBuf(vi, VI_READ_BUF, 65536));
    ASSERT_EQ("OK", peer_->command("send " + std::to_string(id) + " " + std::to_string(n) + " 7"));
    std::string in(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        ViUInt32 count = 0;
        const ViStatus st = v.viRead(vi, reinterpret_cast<ViBuf>(&in[got]), static_cast<ViUInt32>(n - got), &count);
        got += count;
        ASSERT_TRUE(st == VI_SUCCESS_MAX_CNT || st == VI_ERROR_TMO) << hex(st);
        ASSERT_TRUE(count > 0 || got == n) << "nothing in 20 s after " << got;
    }
    EXPECT_EQ(static_cast<long>(n), peer_->number("sent " + std::to_string(id) + " 20000"));
    EXPECT_TRUE(in == pattern(n, 7)) << "the bytes read differ";

    ASSERT_EQ("OK", peer_->command("sink " + std::to_string(id) + " 9"));
    const std::string out = pattern(n, 9);
    ViUInt32 written = 0;
    EXPECT_STATUS(VI_SUCCESS, v.viWrite(vi, reinterpret_cast<ViConstBuf>(out.data()), static_cast<ViUInt32>(n), &written));
    EXPECT_EQ(n, written);
    std::vector<std::string> counts;
    EXPECT_TRUE(eventually([&] {
        counts = peer_->ask("count " + std::to_string(id));
        return counts.size() == 2 && counts[0] == std::to_string(n);
    }, 60s)) << peer_->last_reply;
    ASSERT_EQ(2u, counts.size());
    EXPECT_EQ("-1", counts[1]) << "first byte that differs";
    EXPECT_STATUS(VI_SUCCESS, v.viClose(vi));
}

}  // namespace
