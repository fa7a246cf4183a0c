// The platform layer's contracts that the libraries build on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
namespace os = kez::os;

std::string unique_name(const std::string &what) {
    return "kez test " + what + " " + std::to_string(os::current_process_id());
}

TEST(OsMutex, IsRecursiveAndTimedLocksGiveUpOrSucceedWhenReleased) {
    kez::test::Watchdog watchdog(60s);
    os::Mutex *m = os::mutex_create();
    ASSERT_NE(m, nullptr);
    os::mutex_lock(m);
    ASSERT_TRUE(os::mutex_try_lock(m));
    ASSERT_TRUE(os::mutex_timed_lock(m, 10));
    os::mutex_unlock(m);
    os::mutex_unlock(m);
    std::atomic<bool> released{false};
    std::thread other([&] {
        EXPECT_FALSE(os::mutex_try_lock(m));  // still held once
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(os::mutex_timed_lock(m, 50));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
        while (!released.load()) std::this_thread::yield();
        EXPECT_TRUE(os::mutex_timed_lock(m, 10000));
        os::mutex_unlock(m);
    });
    std::this_thread::sleep_for(100ms);
    released = true;
    os::mutex_unlock(m);
    other.join();
    ASSERT_TRUE(os::mutex_try_lock(m));
    os::mutex_unlock(m);
    os::mutex_destroy(m);
}

// Plain, timed and recursive locking of a mutex, and two opens of one named
// mutex, each under contention: no increment is lost.
TEST(OsMutex, CountsStayExactUnderContention) {
    kez::test::Watchdog watchdog(120s);
    constexpr int kRounds = 20000;
    os::Mutex *m = os::mutex_create();
    const std::string name = unique_name("named mutex");
    os::NamedMutex *named[] = {os::named_mutex_open(name.c_str()), os::named_mutex_open(name.c_str())};
    ASSERT_TRUE(named[0] != nullptr && named[1] != nullptr);
    EXPECT_TRUE(os::named_mutex_exists(name.c_str()));
    long counter = 0, named_counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (t % 2 == 0) os::mutex_lock(m);
                while (t % 2 == 1 && !os::mutex_timed_lock(m, 1)) std::this_thread::yield();
                os::mutex_lock(m);  // recursion under contention
                ++counter;
                os::mutex_unlock(m);
                os::mutex_unlock(m);
                if (t >= 2) continue;
                os::named_mutex_lock(named[t]);
                os::named_mutex_lock(named[t]);  // recursive
                ++named_counter;
                os::named_mutex_unlock(named[t]);
                os::named_mutex_unlock(named[t]);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(counter, 8 * kRounds);
    EXPECT_EQ(named_counter, 2 * kRounds);
    os::mutex_destroy(m);
    os::named_mutex_close(named[0]);
    EXPECT_TRUE(os::named_mutex_exists(name.c_str()));
    os::named_mutex_close(named[1]);
    EXPECT_FALSE(os::named_mutex_exists(name.c_str()));
}

TEST(OsEvent, AutoResetWakesOneWaitManualResetStaysSet) {
    os::Event *autoe = os::event_create(false, false), *manual = os::event_create(true, false);
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

// A sleep on a word ends at once when the word differs, at its time-out when
// nobody wakes it, and at a wake-up even while the word is unchanged.
TEST(OsWaitOnAddress, DiffersAtOnceTimesOutOrIsWoken) {
    kez::test::Watchdog watchdog(60s);
    std::atomic<std::uint32_t> word{7};
    EXPECT_TRUE(os::wait_on_address(&word, 8, os::kInfinite));
    for (std::uint32_t timeout : {0u, 50u}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(os::wait_on_address(&word, 7, timeout));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeout * 9 / 10));
    }
    for (bool all : {false, true}) {
        std::atomic<int> woken{0};
        std::vector<std::thread> sleepers;
        for (int i = 0; i < (all ? 3 : 1); ++i)
            sleepers.emplace_back([&] { woken += os::wait_on_address(&word, 7, os::kInfinite); });
        while (woken.load() < (all ? 3 : 1)) {  // a wake-up may come before a sleeper sleeps
            std::this_thread::sleep_for(1ms);
            all ? os::wake_all(&word) : os::wake_one(&word);
        }
        for (auto &t : sleepers) t.join();
    }
}

// All names are open at once: different names never meet, however escaped.
TEST(OsSharedMemory, SecondOpenSeesTheFirstOnesDataAndNamesAreRemoved) {
    const std::string names[] = {unique_name("shm"), unique_name("a/b"), unique_name("a%2Fb"),
                                 unique_name(std::string(300, 'x'))};
    std::vector<os::SharedMemory *> first;
    bool created = false;
    for (const std::string &name : names) {
        first.push_back(os::shm_open_or_create(name.c_str(), 4096, &created));
        ASSERT_NE(first.back(), nullptr) << name;
        EXPECT_TRUE(created) << name;
        auto *p = static_cast<unsigned char *>(os::shm_address(first.back()));
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
        std::memcpy(p, name.c_str(), name.size() + 1);
    }
    for (std::size_t i = 0; i < std::size(names); ++i) {
        os::SharedMemory *second = os::shm_open_or_create(names[i].c_str(), 4096, &created);
        ASSERT_NE(second, nullptr);
        EXPECT_FALSE(created);
        EXPECT_EQ(static_cast<char *>(os::shm_address(second)), names[i]);
        EXPECT_TRUE(os::shm_exists(names[i].c_str()));
        os::shm_close(second, false);
        os::shm_close(first[i], true);
        EXPECT_FALSE(os::shm_exists(names[i].c_str()));
    }
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
    std::uint32_t major = 0, minor = 0;
    EXPECT_TRUE(os::os_version(&major, &minor));
    EXPECT_GT(major, 0u);
    ASSERT_GT(os::perf_frequency(), 0u);
    const std::uint64_t c0 = os::perf_counter(), t0 = os::tick_count_ms();
    std::this_thread::sleep_for(50ms);
    EXPECT_GE((os::perf_counter() - c0) * 1000 / os::perf_frequency(), 40u);
    EXPECT_GE(os::tick_count_ms() - t0, 30u);
}

}  // namespace
