// The life of a named lock's system object when the processes that use it
// are killed: a lock held by a killed process is taken over by a survivor,
// a name whose users were all killed is taken over by its next user, and
// the name goes with the last live user's discard. Processes that open and
// discard one name at full speed never end up on two different mutexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "os/os.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string unique_name(const char *what) {
    static std::atomic<int> counter{0};
    return std::string("kez-mt-lifetime-") + what + "-" + std::to_string(kez::os::current_process_id()) + "-" +
           std::to_string(counter.fetch_add(1));
}

bool file_exists(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f != nullptr) std::fclose(f);
    return f != nullptr;
}

long read_number(const std::string &path) {
    long value = -1;
    if (std::FILE *f = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(f, "%ld", &value) != 1) value = -1;
        std::fclose(f);
    }
    return value;
}

// The name's entry in the file system (POSIX), or "" where names live
// elsewhere. The names used here hold no character that needs escaping.
std::string shm_entry(const std::string &name) {
#if defined(_WIN32)
    (void)name;
    return std::string();
#else
    return "/dev/shm/" + name;
#endif
}

// The per-process objects that the engine's start-up makes, named after
// the process id.
std::vector<std::string> process_entries(long pid) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lx", pid);
    if (shm_entry("x").empty()) return {};
    return {shm_entry(std::string("Brennick - Kez Runtime Info Mutex") + hex),
            shm_entry(std::string("Brennick - Kez Runtime Info Shared Memory") + hex)};
}

// Removes what a test leaves behind whatever way it ends: the marker and
// counter files (in a directory of the test's own), and the names should
// the engine keep them.
struct Leftovers {
    std::string name;
    std::vector<long> killed;
    kez::test::TempDir dir;
    ~Leftovers() {
        if (shm_entry(name).empty()) return;
        std::remove(shm_entry(name).c_str());
        for (long pid : killed)
            for (const std::string &entry : process_entries(pid)) std::remove(entry.c_str());
    }
};

int run_helper(const std::string &name, const char *mode, std::uint32_t timeout_ms, bool *ended,
               const char *a = nullptr, const char *b = nullptr) {
    const char *args[] = {name.c_str(), mode, a, b, nullptr};
    int exit_code = -1;
    *ended = kez::os::process_run(KEZ_NAMED_LOCK_HELPER, args, timeout_ms, &exit_code);
    return exit_code;
}

struct Killed {
    int children = 0;
    int ended_on_their_own = 0;  // should all have been killed
    int opened = 0;
    int held = 0;
};

// Starts `count` helpers that open the lock, get it (one at a time) and
// wait; each is killed after `kill_after_ms`.
Killed kill_holders(const std::string &name, int count, std::uint32_t kill_after_ms, Leftovers &leftovers) {
    std::vector<std::string> markers;
    for (int i = 0; i < count; ++i) {
        markers.push_back(leftovers.dir.file(name + "-" + std::to_string(i)));
    }
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            bool done = false;
            run_helper(name, "hold", kill_after_ms, &done, markers[i].c_str());
            if (done) ended.fetch_add(1);
        });
    }
    for (std::thread &t : threads) t.join();
    Killed k;
    k.children = count;
    k.ended_on_their_own = ended.load();
    for (const std::string &m : markers) {
        const long pid = read_number(m + ".opened");
        k.opened += pid >= 0 ? 1 : 0;
        if (pid > 0) leftovers.killed.push_back(pid);
        k.held += file_exists(m + ".held") ? 1 : 0;
    }
    return k;
}

// Long enough for `count` helpers started at once to open the lock: the
// start of one measured here (a "try" that gets the free lock), times the
// count, plus a margin.
std::uint32_t kill_delay_ms(const std::string &name, int count) {
    bool ended = false;
    const auto start = Clock::now();
    EXPECT_EQ(run_helper(name, "try", 60000, &ended), 10);
    const auto one = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(one * count + 3000, 3000, 120000));
}

TEST(KmtNamedLockLifetime, ALockHeldByKilledProcessesIsTakenOverAndItsNameGoesWithTheLastUser) {
    kez::test::Watchdog watchdog(600s, "named lock with killed users");
    constexpr int kChildren = 50;
    const std::string name = unique_name("killed");
    Leftovers leftovers{name, {}, {}};
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);

    const Killed k = kill_holders(name, kChildren, kill_delay_ms(name, kChildren), leftovers);
    EXPECT_EQ(k.ended_on_their_own, 0) << "a helper failed instead of waiting to be killed";
    EXPECT_EQ(k.opened, kChildren) << "a helper was killed before it opened the lock";
    EXPECT_GE(k.held, 1);

    // The last holder was killed holding it twice: this process gets it
    // once, at once.
    int obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, 10000, &obtained), 0);
    ASSERT_EQ(obtained, 1) << "a lock held by a killed process was not taken over";
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    bool ended = false;
    EXPECT_EQ(run_helper(name, "try", 60000, &ended), 10) << "another process could not get the free lock";
    // That process's engine start removed what the killed ones left.
    for (long pid : leftovers.killed)
        for (const std::string &entry : process_entries(pid)) EXPECT_FALSE(file_exists(entry)) << entry;

    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str()));
    EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str())) << "the killed users kept the name alive";
    if (!shm_entry(name).empty()) {
        EXPECT_FALSE(file_exists(shm_entry(name)));
    }
}

TEST(KmtNamedLockLifetime, ANameWhoseUsersWereAllKilledIsTakenOverByItsNextUser) {
    kez::test::Watchdog watchdog(300s, "named lock of killed users only");
    constexpr int kChildren = 3;
    const std::string name = unique_name("orphan");
    Leftovers leftovers{name, {}, {}};
    const Killed k = kill_holders(name, kChildren, kill_delay_ms(name, kChildren), leftovers);
    EXPECT_EQ(k.ended_on_their_own, 0);
    EXPECT_EQ(k.opened, kChildren);
    EXPECT_GE(k.held, 1);
    // POSIX keeps a name after its users died; a Windows object goes with
    // its last handle.
    if (!shm_entry(name).empty()) {
        EXPECT_TRUE(file_exists(shm_entry(name)));
    }

    // The killed holders' holds died with them: the lock is free, not held
    // by anyone.
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    int obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, 0, &obtained), 0);
    EXPECT_EQ(obtained, 1);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str())) << "the name outlived its last live user";
}

// Each round of each process opens the name, so openers keep racing the
// last closer's removal of the name. Two processes on two different
// mutexes of one name would lose increments of the shared counter.
TEST(KmtNamedLockLifetime, ProcessesOpeningAndDiscardingOneNameShareOneMutex) {
    kez::test::Watchdog watchdog(300s, "named lock churn");
    constexpr int kProcesses = 4;
    constexpr int kRounds = 300;
    const std::string name = unique_name("churn");
    Leftovers leftovers{name, {}, {}};
    const std::string counter = leftovers.dir.file(name + ".count");
    {
        std::FILE *f = std::fopen(counter.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("0\n", f);
        std::fclose(f);
    }
    std::vector<int> codes(kProcesses, -1);
    std::vector<std::thread> threads;
    const std::string rounds = std::to_string(kRounds);
    for (int i = 0; i < kProcesses; ++i) {
        threads.emplace_back([&, i] {
            bool ended = false;
            codes[i] = run_helper(name, "churn", 240000, &ended, rounds.c_str(), counter.c_str());
            if (!ended) codes[i] = -1;
        });
    }
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(codes[i], 10) << "process " << i;
    EXPECT_EQ(read_number(counter), static_cast<long>(kProcesses) * kRounds) << "two processes held the lock at once";
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));
}

}  // namespace
