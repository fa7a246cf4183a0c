// The platform layer's contracts that the libraries build on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
namespace os = kez::os;

std::string unique_name(const char *what) {
    return std::string("kez test ") + what + " " + std::to_string(os::current_process_id());
}

TEST(OsMutex, IsRecursiveAndRefusesOtherThreadsUntilFullyReleased) {
    os::Mutex *m = os::mutex_create();
    ASSERT_NE(m, nullptr);
    os::mutex_lock(m);
    ASSERT_TRUE(os::mutex_try_lock(m));
    ASSERT_TRUE(os::mutex_timed_lock(m, 10));
    auto other_try = [m] {
        bool got = true;
        std::thread([&] { got = os::mutex_try_lock(m) && (os::mutex_unlock(m), true); }).join();
        return got;
    };
    os::mutex_unlock(m);
    os::mutex_unlock(m);
    EXPECT_FALSE(other_try());  // still held once
    os::mutex_unlock(m);
    EXPECT_TRUE(other_try());
    os::mutex_destroy(m);
}

TEST(OsMutex, TimedLockGivesUpAfterItsTimeOutAndSucceedsWhenReleased) {
    kez::test::Watchdog watchdog(60s);
    os::Mutex *m = os::mutex_create();
    os::mutex_lock(m);
    std::atomic<bool> released{false};
    std::thread t([&] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(os::mutex_timed_lock(m, 50));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
        while (!released.load()) std::this_thread::yield();
        EXPECT_TRUE(os::mutex_timed_lock(m, 10000));
        os::mutex_unlock(m);
    });
    std::this_thread::sleep_for(100ms);
    released.store(true);
    os::mutex_unlock(m);
    t.join();
    os::mutex_destroy(m);
}

TEST(OsMutex, CountsStayExactUnderContention) {
    kez::test::Watchdog watchdog(120s);
    os::Mutex *m = os::mutex_create();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if (t % 2 == 0) {
                    os::mutex_lock(m);
                } else {
                    while (!os::mutex_timed_lock(m, 1)) {
                    }
                }
                os::mutex_lock(m);  // recursion under contention
                ++counter;
                os::mutex_unlock(m);
                os::mutex_unlock(m);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(counter, 8 * 20000);
    os::mutex_destroy(m);
}

TEST(OsEvent, AutoResetWakesOneWaitManualResetStaysSet) {
    os::Event *autoe = os::event_create(false, false);
    os::Event *manual = os::event_create(true, false);
    EXPECT_FALSE(os::event_wait(autoe, 0));
    EXPECT_FALSE(os::event_wait(autoe, 20));
    os::event_set(autoe);
    EXPECT_TRUE(os::event_wait(autoe, 0));
    EXPECT_FALSE(os::event_wait(autoe, 0));  // consumed

    os::event_set(manual);
    EXPECT_TRUE(os::event_wait(manual, 0));
    EXPECT_TRUE(os::event_wait(manual, os::kInfinite));
    os::event_reset(manual);
    EXPECT_FALSE(os::event_wait(manual, 0));

    std::thread t([autoe] {
        std::this_thread::sleep_for(30ms);
        os::event_set(autoe);
    });
    EXPECT_TRUE(os::event_wait(autoe, 10000));
    t.join();
    os::event_destroy(autoe);
    os::event_destroy(manual);
}

TEST(OsSharedMemory, SecondOpenSeesTheFirstOnesDataAndNamesAreRemoved) {
    for (const std::string &name : {unique_name("shm"), unique_name("shm/with/slashes%2F"),
                                    unique_name(std::string(300, 'x').c_str())}) {
        SCOPED_TRACE(name.size());
        bool created = false;
        os::SharedMemory *a = os::shm_open_or_create(name.c_str(), 4096, &created);
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(created);
        auto *pa = static_cast<unsigned char *>(os::shm_address(a));
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(pa[i], 0) << i;
        std::memcpy(pa, "kez", 4);
        os::SharedMemory *b = os::shm_open_or_create(name.c_str(), 4096, &created);
        ASSERT_NE(b, nullptr);
        EXPECT_FALSE(created);
        EXPECT_STREQ(static_cast<char *>(os::shm_address(b)), "kez");
        EXPECT_TRUE(os::shm_exists(name.c_str()));
        os::shm_close(b, false);
        os::shm_close(a, true);
        EXPECT_FALSE(os::shm_exists(name.c_str()));
    }
    // Two different names never meet, however they are escaped.
    bool created = false;
    os::SharedMemory *slash = os::shm_open_or_create(unique_name("a/b").c_str(), 64, &created);
    ASSERT_TRUE(created);
    os::SharedMemory *escaped = os::shm_open_or_create(unique_name("a%2Fb").c_str(), 64, &created);
    EXPECT_TRUE(created);
    os::shm_close(slash, true);
    os::shm_close(escaped, true);
}

TEST(OsNamedMutex, TwoOpensOfOneNameExcludeEachOther) {
    kez::test::Watchdog watchdog(120s);
    const std::string name = unique_name("named mutex");
    os::NamedMutex *a = os::named_mutex_open(name.c_str());
    os::NamedMutex *b = os::named_mutex_open(name.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(os::named_mutex_exists(name.c_str()));
    long counter = 0;
    std::thread t([&] {
        for (int i = 0; i < 20000; ++i) {
            os::named_mutex_lock(b);
            ++counter;
            os::named_mutex_unlock(b);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        os::named_mutex_lock(a);
        os::named_mutex_lock(a);  // recursive
        ++counter;
        os::named_mutex_unlock(a);
        os::named_mutex_unlock(a);
    }
    t.join();
    EXPECT_EQ(counter, 40000);
    os::named_mutex_close(a);
    EXPECT_TRUE(os::named_mutex_exists(name.c_str()));
    os::named_mutex_close(b);
    EXPECT_FALSE(os::named_mutex_exists(name.c_str()));
}


TEST(OsProcess, ModulesEnvironmentErrorTextsIdsAndClocks) {
    EXPECT_EQ(os::module_if_loaded("kez_no_such_component.dll"), nullptr);
    EXPECT_EQ(os::module_load("kez_no_such_component.dll"), nullptr);
    char file[1024];
    EXPECT_TRUE(os::module_file_name(os::module_main(), file, sizeof file));
    EXPECT_NE(std::string(file).find("kez_os_tests"), std::string::npos) << file;

    EXPECT_TRUE(os::env_set("KEZ_OS_TEST_VAR", "value 1"));
    char buf[16], tiny[4];
    ASSERT_TRUE(os::env_get("KEZ_OS_TEST_VAR", buf, sizeof buf));
    EXPECT_STREQ(buf, "value 1");
    EXPECT_FALSE(os::env_get("KEZ_OS_TEST_VAR", tiny, sizeof tiny));  // does not fit
    EXPECT_TRUE(os::env_set("KEZ_OS_TEST_VAR", nullptr));
    EXPECT_FALSE(os::env_get("KEZ_OS_TEST_VAR", buf, sizeof buf));

    char text[256];
    os::error_text(2, text, sizeof text);  // "no such file" on both systems
    EXPECT_GT(std::strlen(text), 5u);
    EXPECT_NE(text[std::strlen(text) - 1], '\n');

    os::ThreadId other = 0;
    std::thread([&other] { other = os::current_thread_id(); }).join();
    EXPECT_NE(other, os::current_thread_id());
    EXPECT_NE(os::current_process_id(), 0u);
    std::uint32_t major = 0, minor = 0;
    EXPECT_TRUE(os::os_version(&major, &minor));
    EXPECT_GT(major, 0u);

    ASSERT_GT(os::perf_frequency(), 0u);
    const std::uint64_t c0 = os::perf_counter();
    const std::uint64_t t0 = os::tick_count_ms();
    std::this_thread::sleep_for(50ms);
    EXPECT_GE((os::perf_counter() - c0) * 1000 / os::perf_frequency(), 40u);
    EXPECT_GE(os::tick_count_ms() - t0, 30u);
}

}  // namespace
