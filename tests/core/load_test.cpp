// Loading and unloading the engine at run time: the start-up sequence, a
// forced failure of each step, and repeated load/unload cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/eventually.h"
#include "support/log_tap.h"
#include "support/temp_dir.h"

namespace {

using kez::os::Module;

struct Engine {
    Module module = nullptr;
    template <typename Fn>
    Fn symbol(const char *name) const {
        auto *p = kez::os::module_symbol(module, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<Fn>(p);
    }
    int load_state() const { return symbol<int (*)()>("KezTest_LoadState")(); }
    int init_module(void *m) const {
        using InitFn = int (*)(void *, void *, void *, void *, void *, void *, void *, void *, void *, void *);
        void *none[] = {nullptr};
        return symbol<InitFn>("InitKezRTDll")(m, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              none);
    }
};

std::string info_name(const char *kind) {
    char name[128];
    std::snprintf(name, sizeof name, "Brennick - Kez Runtime Info %s%x", kind, kez::os::current_process_id());
    return name;
}
const std::string shm_name = info_name("Shared Memory"), mutex_name = info_name("Mutex");

// Loads the engine with the given fault armed and its log tapped.
Module load_engine(const char *fault, const std::string &tap) {
    kez::os::env_set("KEZ_TEST_LOG", tap.c_str());
    kez::os::env_set("KEZ_TEST_FAIL", fault);
    Module m = kez::os::module_load(KEZ_ENGINE_FILE);
    kez::os::env_set("KEZ_TEST_FAIL", nullptr);
    kez::os::env_set("KEZ_TEST_LOG", nullptr);
    return m;
}

bool engine_mapped() { return kez::os::module_if_loaded(KEZ_ENGINE_FILE) != nullptr; }

// The log without thread-end lines of unrelated threads, as "<func>: <text>".
std::vector<std::string> sequence(const std::string &tap) {
    std::vector<std::string> out;
    for (const auto &l : kez::test::read_tap(tap))
        if (l.text.rfind("DLL_THREAD_DETACH", 0) != 0) out.push_back(l.function + ": " + l.text);
    return out;
}

// clang-format off
// The log of a load and unload; a line ending in '*' matches any line with that prefix.
const std::vector<std::string> kSequence = {"DllMain: DLL_PROCESS_ATTACH",
    "DllMain: AllocCrossLibraryThreadVarSlots returned", "WInitRTDll: GetModuleHandle returned *",
    "WInitRTDll: GetStartupInfo returned", "WInitRTDll: Calling WinMain", "WinMain: SetCurrentPlatform returned",
    "WinMain: CToPStr returned", "WinMain: WinMain hInstance=0x*", "WinMain: ParseCommandLine returned",
    "WInitApp: ConfigureKezLoggerOnce returned", "WInitApp: PXInitMainThreadId returned",
    "WInitApp: SetUpMemory returned", "WInitApp: InitializeCodePage returned", "WInitApp: InitSupport returned",
    "WInitApp: TcpIpInitialize returned", "WInitApp: KezDebugInitialize returned", "WInitApp: CdbInitialize returned",
    "WInitApp: SetupPCTimer returned. Changed timer resolution.", "WInitApp: InitAsyncAndMTProtection returned",
    "WInitApp: GetTimeOptions/GetDateOptions returned.", "WInitApp: Returning 0.", "WinMain: WInitApp returned",
    "WMain: ENTER", "WMain: InitTimeLib returned", "WMain: StdCLibInitOnce returned",
    "WMain: InitExecutionThreadVars returned", "WMain: FmtIOLibInitOnce returned",
    "WMain: UtilityLibraryInitOnce returned", "WMain: RegisterUtilityLibraryRunStateChangeCallback returned",
    "WMain: PXRS232Initialize returned", "WMain: Cleanup code: error = 0", "WMain: Returning 0",
    "WinMain: WMain returned", "WinMain: Returning 1 (exitCode = 0)", "WInitRTDll: WinMain returned",
    "WInitRTDll: Cleanup code: returning success", "InitRTDll: WInitRTDll returned.", "DllMain: InitRTDll returned",
    "DllMain: SetupKezRTEHasBeenDetachedShmem returned", "DllMain: InitRTEBasicTypes returned",
    "DllMain: Returning 1", "DllMain: DLL_PROCESS_DETACH", "DllMain: UtilityLibraryUninitKmtResources returned",
    "CloseRTDll: exiting app ", "DllMain: CloseRTDll returned", "DllMain: CleanupKezRTEHasBeenDetachedShmem returned"};
// clang-format on

// Each start-up step made to fail, with the line its failure must have
// logged (null: none). Failures inside the application's start report
// FAILURE from WInitRTDll; those past it ran WExitApp's clean-up.
const char kNone[] = "", kRtDll[] = "WInitRTDll: Cleanup code: returning FAILURE", kApp91[] = "WInitApp: Returning 91.",
           kMain103[] = "WMain: Cleanup code: error = -103";
// clang-format off
const std::pair<const char *, const char *> kFailures[] = {
    {"os.thread_exit_hook", kNone}, {"AllocCrossLibraryThreadVarSlots", kNone}, {"os.tls_alloc", kNone},
    {"os.cs_create:1:1", kNone},  // the first one is the logger's
    {"GetModuleHandle", kRtDll}, {"SetCurrentPlatform", kRtDll}, {"os.version", kRtDll},
    {"ConfigureKezLoggerOnce", kApp91}, {"PXInitMainThreadId", kApp91}, {"SetUpMemory", "WInitApp: Returning 1."},
    {"InitializeCodePage", kApp91}, {"InitSupport", kApp91}, {"InstallListMemoryFunctions", kApp91},
    {"TcpIpInitialize", kApp91}, {"KezDebugInitialize", kApp91}, {"os.named_mutex", kApp91}, {"os.shm_open", kApp91},
    {"CdbInitialize", kApp91}, {"SetupPCTimer", kApp91}, {"InitAsyncAndMTProtection", kApp91},
    {"GetTimeOptions", "WInitApp: Returning 2."}, {"InitTimeLib", "WMain: Cleanup code: error = -102"},
    {"StdCLibInitOnce", kMain103}, {"InitExecutionThreadVars", kMain103}, {"FmtIOLibInitOnce", kMain103},
    {"UtilityLibraryInitOnce", kMain103}, {"RegisterUtilityLibraryRunStateChangeCallback", kMain103},
    {"TCPLibraryInitOnce", kMain103}, {"InitRTEBasicTypes", "DllMain: SetupKezRTEHasBeenDetachedShmem returned"}};
// clang-format on

bool contains(const std::vector<std::string> &lines, const std::string &text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// A hundred cycles log the start-up and shut-down and leave nothing behind;
// some with a logger that cannot start or a failing serial library, neither of
// which stops the engine; KEZ_LOG switches the engine's own log on. Counts start
// after the first cycle: the host's loader keeps what a process's first load sets up.
TEST(Load, HundredLoadUnloadCyclesLogTheSequenceAndLeaveNothingBehind) {
    kez::os::TlsKey probe;
    long handles_before = 0, free_handle_before = 0;
    kez::test::TempDir dir;
    const std::string env_log = dir.file("env.log");
    for (int i = 0; i < 100; ++i) {
        const char *fault = i % 10 == 1 ? "os.cs_create" : i % 10 == 2 ? "PXRS232Initialize" : "";
        const std::string tap = dir.file("cycle" + std::to_string(i) + ".log");
        if (i == 3) kez::os::env_set("KEZ_LOG", ("TRACE|DLLMAIN:" + env_log).c_str());
        Module m = load_engine(fault, tap);
        kez::os::env_set("KEZ_LOG", nullptr);
        ASSERT_NE(m, nullptr) << i;
        Engine e{m};
        ASSERT_EQ(e.load_state(), 2) << i;
        EXPECT_EQ(e.symbol<unsigned (*)()>("GetKezLogReportingLevels")(), i == 3 ? 257u : 64u) << i;
        EXPECT_TRUE(kez::os::shm_exists(shm_name.c_str())) << i;
        int module = 0;
        EXPECT_EQ(e.init_module(&module), 1);
        e.symbol<void (*)(void *)>("CloseKezRTDll")(&module);
        kez::os::module_unload(m);
        ASSERT_FALSE(engine_mapped()) << i;
        EXPECT_FALSE(kez::os::shm_exists(shm_name.c_str())) << i;
        const auto lines = sequence(tap);
        EXPECT_TRUE(i % 10 != 2 || contains(lines, "WMain: Cleanup code: error = 0"));
        if (i == 3) {
            std::ifstream in(env_log, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_NE(text.find("[DLLMAIN] [DllMain] ["), std::string::npos);
            EXPECT_NE(text.find("] DLL_PROCESS_ATTACH\r\n"), std::string::npos);
            EXPECT_NE(text.find("[TRACE] [WMain] ["), std::string::npos);
            EXPECT_NE(text.find("] DLL_PROCESS_DETACH\r\n"), std::string::npos);
            EXPECT_EQ(text.find("[INFO]"), std::string::npos);  // not in the mask
        }
        if (i != 0) continue;
        ASSERT_EQ(lines.size(), kSequence.size()) << testing::PrintToString(lines);
        for (std::size_t n = 0; n < lines.size(); ++n) {
            const std::string &g = kSequence[n];
            if (g.back() == '*')
                EXPECT_EQ(lines[n].rfind(g.substr(0, g.size() - 1), 0), 0u) << n << ": " << lines[n];
            else
                EXPECT_EQ(lines[n], g) << n;
        }
        ASSERT_TRUE(kez::os::tls_alloc(&probe));
        kez::os::tls_free(probe);
        handles_before = kez::os::open_handle_count();
        free_handle_before = kez::os::lowest_free_handle();
    }
    EXPECT_EQ(kez::os::open_handle_count(), handles_before);
    EXPECT_EQ(kez::os::lowest_free_handle(), free_handle_before);
    EXPECT_FALSE(kez::os::named_mutex_exists(mutex_name.c_str()));
    kez::os::TlsKey again;
    ASSERT_TRUE(kez::os::tls_alloc(&again));
    EXPECT_EQ(again.value, probe.value);  // no thread-local index was left allocated
    kez::os::tls_free(again);
}

std::atomic<int> g_ticks{0};

// Unloading the engine stops the timers that run on either back-end (the
// timing engine's when the multimedia timer's load is failed): no callback
// comes after, and nothing runs in the unloaded engine.
TEST(Load, UnloadStopsTheTimersOfBothBackEnds) {
    kez::test::TempDir dir;
    kez::os::env_set("KEZ_COMPONENT_PATH", ".");
    for (int i = 0; i < 6; ++i) {
        const bool timing_engine = i % 2 == 1;
        Module m = load_engine(timing_engine ? "os.multimedia_timer_load:1000" : "", dir.file("timers.log"));
        ASSERT_NE(m, nullptr);
        Engine e{m};
        ASSERT_EQ(e.symbol<int (*)()>("KezUSTEinitialize")(), 1);
        EXPECT_EQ(e.symbol<unsigned long long (*)()>("GetTimeUS")() != 0, timing_engine) << i;
        auto new_timer = e.symbol<void *(*)(void (*)(void *), void *)>("KezUSTEnewtimer");
        auto set_timer = e.symbol<int (*)(void *, const unsigned *)>("KezUSTEsettimer");
        g_ticks.store(0);
        for (int n = 0; n < 3; ++n) {
            const unsigned one_ms[2] = {0, 1000000};
            ASSERT_EQ(set_timer(new_timer([](void *) { g_ticks.fetch_add(1); }, nullptr), one_ms), 1);
        }
        ASSERT_TRUE(kez::test::eventually([] { return g_ticks.load() > 6; }));
        kez::os::module_unload(m);
        ASSERT_FALSE(engine_mapped()) << i;
        const int after = g_ticks.load();
        kez::os::sleep_ms(30);
        EXPECT_EQ(g_ticks.load(), after) << i;
    }
    kez::os::env_set("KEZ_COMPONENT_PATH", nullptr);
}

// Event processing leaves the socket library alone until the program makes
// a connection; connections left open are closed by the unload.
TEST(Load, SocketsAreLoadedOnDemandAndClosedAtUnload) {
    kez::test::TempDir dir;
    for (int i = 0; i < 3; ++i) {
        Module m = load_engine("", dir.file("sockets.log"));
        ASSERT_NE(m, nullptr);
        Engine e{m};
        ASSERT_EQ(e.symbol<int (*)()>("ProcessSystemEvents")(), 0);
        EXPECT_EQ(kez::os::module_if_loaded("wsock32.dll"), nullptr);
        using Callback = int (*)(unsigned, int, int, void *);
        const int port = e.symbol<int (*)(unsigned, Callback, void *)>("RegisterTCPServer")(0, nullptr, nullptr);
        ASSERT_GT(port, 0);
        unsigned handle = 0;
        ASSERT_EQ((e.symbol<int (*)(unsigned *, unsigned, const char *, Callback, void *, unsigned)>(
                      "ConnectToTCPServer")(&handle, static_cast<unsigned>(port), "127.0.0.1", nullptr, nullptr, 5000)),
                  0);
        ASSERT_EQ(e.symbol<int (*)()>("ProcessSystemEvents")(), 0);
        kez::os::module_unload(m);
        ASSERT_FALSE(engine_mapped()) << i;
        EXPECT_EQ(kez::os::module_if_loaded("wsock32.dll"), nullptr) << i;
    }
}

// VISA is loaded by the first serial call, not by event processing, and
// released at unload once no port is left open.
TEST(Load, VisaIsLoadedOnDemandAndReleasedAtUnload) {
    kez::test::TempDir dir;
    kez::os::env_set("KEZ_COMPONENT_PATH", ".");
    for (int i = 0; i < 2; ++i) {
        Module m = load_engine("", dir.file("visa.log"));
        ASSERT_NE(m, nullptr);
        Engine e{m};
        ASSERT_EQ(e.symbol<int (*)()>("ProcessSystemEvents")(), 0);
        EXPECT_EQ(kez::os::module_if_loaded("visa32.dll"), nullptr);
        // No device is named so: VISA is asked, and says so.
        EXPECT_EQ(e.symbol<int (*)(int, const char *)>("OpenCom")(7, "no such port"), -6);
        EXPECT_NE(kez::os::module_if_loaded("visa32.dll"), nullptr);
        ASSERT_EQ(e.symbol<int (*)()>("ProcessSystemEvents")(), 0);
        kez::os::module_unload(m);
        ASSERT_FALSE(engine_mapped()) << i;
        EXPECT_EQ(kez::os::module_if_loaded("visa32.dll"), nullptr) << i;
    }
    kez::os::env_set("KEZ_COMPONENT_PATH", nullptr);
}

TEST(Load, EachFailingStepRefusesTheLoadAndCleansUp) {
    for (const auto &[fault, stage_line] : kFailures) {
        SCOPED_TRACE(fault);
        kez::test::TempDir dir;
        const std::string tap = dir.file("failure.log");
        const long handles_before = kez::os::open_handle_count();
        const long free_handle_before = kez::os::lowest_free_handle();
        Module m = load_engine(fault, tap);
#if defined(_WIN32)
        EXPECT_EQ(m, nullptr);  // the loader refuses the library
        EXPECT_FALSE(engine_mapped());
#else
        // The loader cannot be refused on POSIX: the engine stays mapped,
        // reports the failure and refuses work.
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(Engine{m}.load_state(), 3);
        int module = 0;
        EXPECT_EQ(Engine{m}.init_module(&module), 0);
        EXPECT_EQ(Engine{m}.symbol<int (*)()>("KezTest_LiveThreadBlocks")(), 0);
#endif
        EXPECT_FALSE(kez::os::shm_exists(shm_name.c_str()));
        EXPECT_FALSE(kez::os::named_mutex_exists(mutex_name.c_str()));
        const auto lines = sequence(tap);
        EXPECT_TRUE(contains(lines, "DllMain: Returning 0"));
        EXPECT_FALSE(contains(lines, "DllMain: Returning 1"));
        EXPECT_TRUE(*stage_line == '\0' || contains(lines, stage_line));
        EXPECT_EQ(contains(lines, "CloseRTDll: exiting app "), *stage_line != '\0' && stage_line != kRtDll);
        EXPECT_EQ(contains(lines, kRtDll), *stage_line != '\0' && std::string(fault) != "InitRTEBasicTypes");
        if (m != nullptr) kez::os::module_unload(m);
        EXPECT_FALSE(engine_mapped());
        EXPECT_EQ(kez::os::open_handle_count(), handles_before);
        EXPECT_EQ(kez::os::lowest_free_handle(), free_handle_before);
    }
}

}  // namespace
