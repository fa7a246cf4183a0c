// Locks of the multithreading library: recursion and ownership, time-outs,
// abandoned locks, named locks shared within a process and between processes
// (also killed ones), discarding under contention, and handles that are not
// (or no longer) locks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mt/kmt_test_util.h"
#include "os/os.h"
#include "support/latch.h"
#include "support/sanitizers.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kez::test::Latch;
using kez::test::on_other_thread;

void *const kSentinel = reinterpret_cast<void *>(0x5EED), *const kWild = reinterpret_cast<void *>(1);

std::string unique_name(const char *what) {
    static std::atomic<int> counter{0};
    return std::string("kez-mt-lock-") + what + "-" + std::to_string(kez::os::current_process_id()) + "-" +
           std::to_string(counter.fetch_add(1));
}

// A kind of lock, or a thread-safe variable (whose get writes into its
// block, so that a block freed too early shows under the sanitizers).
struct Kind {
    const char *label;
    unsigned options;
    bool named, tsv;
    bool timeouts() const { return (options & OPT_TL_SUPPORT_TIMEOUT) != 0; }
};
std::string kind_label(const testing::TestParamInfo<Kind> &info) { return info.param.label; }

const Kind kCriticalSection{"CriticalSection", 0, false, false};
const Kind kTimeoutMutex{"TimeoutMutex", OPT_TL_SUPPORT_TIMEOUT, false, false};
const Kind kNamedTimeout{"NamedTimeout", OPT_TL_SUPPORT_TIMEOUT, true, false};

void *make(const Kind &k) {
    void *h = nullptr;
    const std::string name = unique_name(k.label);
    EXPECT_EQ(k.tsv ? KmtNewTSV(64, &h) : KmtNewLock(k.named ? name.c_str() : nullptr, k.options, &h), 0) << k.label;
    EXPECT_NE(h, nullptr) << k.label;
    return h;
}
// Gets it, waiting up to timeout_ms (a lock with time-outs) or for ever (-1).
int get(const Kind &k, void *h, int timeout_ms = -1) {
    char *p = nullptr;
    int obtained = -1;
    const int rc = k.tsv            ? KmtGetTSVPtr(h, &p)
                   : timeout_ms < 0 ? KmtGetLock(h)
                                    : KmtGetLockEx(h, 0, timeout_ms, &obtained);
    if (rc == 0 && p) p[63] = 1;
    return rc == 0 && obtained == 0 ? -1 : rc;
}
int release(const Kind &k, void *h) { return k.tsv ? KmtReleaseTSVPtr(h) : KmtReleaseLock(h); }
int discard(const Kind &k, void *h) { return k.tsv ? KmtDiscardTSV(h) : KmtDiscardLock(h); }

// Holds h on a thread of its own until `go`, then gives it back a moment later.
struct HeldElsewhere {
    HeldElsewhere(const Kind &k, void *h)
        : thread([this, &k, h] {
              rc = get(k, h);
              id = KmtGetCurrentThreadID();
              held.count_down();
              go.wait();
              std::this_thread::sleep_for(5ms);
              if (rc == 0) rc = release(k, h);
          }) {
        held.wait();
    }
    ~HeldElsewhere() { give_back(); }
    void give_back() {  // lets go and waits until it is given back
        go.count_down();
        if (thread.joinable()) thread.join();
        EXPECT_EQ(rc, 0);
    }
    Latch held{1}, go{1};
    int rc = -1;
    unsigned id = 0;
    std::thread thread;
};

unsigned owner_of(KmtLockHandle h) {
    int owner = -1;
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner), 0);
    return static_cast<unsigned>(owner);
}

// Whether another thread can take the lock right now (it gives it back).
bool free_for_others(KmtLockHandle h) {
    return on_other_thread([h] {
        int obtained = -1;
        return KmtTryToGetLock(h, &obtained) == 0 && obtained == 1 && KmtReleaseLock(h) == 0;
    });
}

// Every call with h is refused as an invalid handle and writes nothing but
// *obtained = 0.
void expect_not_a_lock(KmtLockHandle h) {
    SCOPED_TRACE(testing::Message() << "handle " << h);
    EXPECT_EQ(KmtGetLock(h), KMT_ERR_INVALID_HANDLE);
    int obtained[3] = {-1, -1, -1}, owner = 7;
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, &obtained[0]), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetLockEx(h, 0, 0, &obtained[1]), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtTryToGetLock(h, &obtained[2]), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(obtained[0] | obtained[1] | obtained[2], 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(owner, 7);
    EXPECT_EQ(KmtDiscardLock(h), h ? KMT_ERR_INVALID_HANDLE : 0);  // discarding null does nothing
}

using KmtLocks = kez::test::Watched<>;

class KmtLockKinds : public kez::test::Watched<testing::TestWithParam<Kind>> {};

TEST_P(KmtLockKinds, HoldsAreCountedAndOwnedAndWaitsEndAtTheirTimeoutOrTheRelease) {
    const Kind &kind = GetParam();
    KmtLockHandle h = make(kind);
    const unsigned me = KmtGetCurrentThreadID();
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseLock(h); }), KMT_ERR_LOCK_NOT_HELD);

    // Three holds, one through each get function.
    int tried = -1, waited = -1;
    ASSERT_EQ(KmtGetLock(h), 0);
    EXPECT_EQ(KmtTryToGetLock(h, &tried), 0);
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, &waited), 0);
    EXPECT_EQ(tried + waited, 2);
    for (int left = 3; left > 0; --left) {
        SCOPED_TRACE(testing::Message() << left << " holds left");
        // Another thread may neither release nor take it, and its refused
        // release takes nothing away: "<release> <owner> <try> <obtained>".
        EXPECT_EQ(on_other_thread([h] {
                      int got = -1;
                      const int released = KmtReleaseLock(h);
                      const unsigned owner = owner_of(h);
                      const int try_rc = KmtTryToGetLock(h, &got);
                      return std::to_string(released) + " " + std::to_string(owner) + " " + std::to_string(try_rc) +
                             " " + std::to_string(got);
                  }),
                  "-14930 " + std::to_string(me) + " 0 0");
        EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_LOCK_HELD);  // nor may the holder discard it
        EXPECT_EQ(owner_of(h), me);
        EXPECT_EQ(KmtReleaseLock(h), 0);
    }
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_TRUE(free_for_others(h));

    // Refused arguments take nothing.
    EXPECT_EQ(KmtTryToGetLock(h, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    int value = 7;
    for (int attribute : {0, 2, -1, 100})
        EXPECT_EQ(KmtGetLockAttribute(h, attribute, &value), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
    EXPECT_EQ(value, 7);
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, nullptr), KMT_ERR_INVALID_PARAMETER);
    // KmtGetLockEx needs the options it uses.
    const std::pair<int, int> calls[] = {{0, 0}, {0, 50}, {0, 1}, {1, -1}, {1, 0}};
    for (const auto &[events, timeout] : calls) {
        SCOPED_TRACE(testing::Message() << "events " << events << " timeout " << timeout);
        const bool allowed =
            (events == 0 || (kind.options & OPT_TL_PROCESS_EVENTS_WHILE_WAITING)) && (timeout == -1 || kind.timeouts());
        int obtained = -1;
        EXPECT_EQ(KmtGetLockEx(h, events, timeout, &obtained), allowed ? 0 : KMT_ERR_INVALID_STATUS_CODE);
        EXPECT_EQ(obtained, allowed ? 1 : 0);
        EXPECT_EQ(allowed ? KmtReleaseLock(h) : 0, 0);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    }

    // The owner attribute names the holding thread, not the caller, whose
    // release is refused and whose waits end at their time-out holding nothing.
    HeldElsewhere holder(kind, h);
    EXPECT_NE(holder.id, me);
    EXPECT_EQ(owner_of(h), holder.id);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
    EXPECT_EQ(KmtTryToGetLock(h, &tried), 0);
    EXPECT_EQ(tried, 0);
    for (int timeout : {0, 100}) {
        if (!kind.timeouts()) break;
        const auto start = Clock::now();
        EXPECT_EQ(KmtGetLockEx(h, 0, timeout, &waited), 0);
        EXPECT_EQ(waited, 0);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeout * 95 / 100));
        EXPECT_LT(Clock::now() - start, 5s);
    }
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
    EXPECT_EQ(owner_of(h), holder.id);

    // A waiter takes the lock when it is released, not at its time-out.
    int rc = -1;
    Clock::duration took{};
    std::thread waiter([&] {
        const auto start = Clock::now();
        rc = get(kind, h, kind.timeouts() ? 20000 : -1);
        took = Clock::now() - start;
        if (rc == 0 && (owner_of(h) != KmtGetCurrentThreadID() || KmtReleaseLock(h) != 0)) rc = -2;
    });
    std::this_thread::sleep_for(100ms);
    holder.give_back();
    waiter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
    expect_not_a_lock(h);
}

// A critical section whose holder ended stays held by it: it is tried from
// this thread, whose id cannot be the ended thread's, and left held (a
// discard would wait for ever).
TEST_P(KmtLockKinds, AnAbandonedLockIsTakenOverAsASingleHoldButACriticalSectionStaysHeld) {
    const Kind &kind = GetParam();
    if (kind.options == 0 && !kind.named) {
        KmtLockHandle h = make(kind);
        const unsigned ended = on_other_thread([h] {
            int tried = 0;
            return KmtGetLock(h) == 0 && KmtTryToGetLock(h, &tried) == 0 && tried == 1 ? KmtGetCurrentThreadID() : 0;
        });
        ASSERT_NE(ended, 0u);
        int obtained = -1;
        EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
        EXPECT_EQ(obtained, 0);
        EXPECT_EQ(owner_of(h), ended);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
        return;
    }
    for (bool by_try : {false, true}) {
        SCOPED_TRACE(by_try ? "try" : "get");
        KmtLockHandle h = make(kind);
        ASSERT_TRUE(on_other_thread([h] {  // ends holding it three times
            int tried = 0, waited = 0;
            const int rc = KmtGetLock(h) | KmtTryToGetLock(h, &tried) | KmtGetLockEx(h, 0, -1, &waited);
            return rc == 0 && tried == 1 && waited == 1;
        }));
        int obtained = 1;
        ASSERT_EQ(by_try ? KmtTryToGetLock(h, &obtained) : get(kind, h, kind.timeouts() ? 10000 : -1), 0);
        ASSERT_EQ(obtained, 1) << "a lock whose holder ended was not taken over";
        EXPECT_EQ(owner_of(h), KmtGetCurrentThreadID());
        EXPECT_FALSE(free_for_others(h));
        EXPECT_EQ(KmtReleaseLock(h), 0);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
        EXPECT_EQ(owner_of(h), 0u);
        EXPECT_TRUE(free_for_others(h));
        EXPECT_EQ(KmtDiscardLock(h), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockKinds,
                         testing::Values(kCriticalSection, Kind{"EventsMutex", 1, false, false}, kTimeoutMutex,
                                         Kind{"BothOptionsMutex", 3, false, false}, Kind{"Named", 0, true, false},
                                         kNamedTimeout),
                         kind_label);

// Iterations a thread: fewer under the thread sanitizer, and under Wine,
// where each wait on a kernel mutex is a round trip to the server.
#if defined(_WIN32)
int load_iterations(const Kind &k) { return k.named || k.options != 0 ? 10000 : k.tsv ? 100000 : 200000; }
#elif defined(KEZ_TEST_TSAN)
int load_iterations(const Kind &) { return 100000; }
#else
int load_iterations(const Kind &) { return 1000000; }
#endif

class KmtContention : public kez::test::Watched<testing::TestWithParam<Kind>> {};

// Eight threads take the object over and over; each take that reports it
// obtained holds it alone, and every hold is given back. First through plain
// gets, with a nested hold now and then and the owner seen while others
// wait. Then, locks only, mixing every way of taking it: waits without limit,
// tries, timed waits that run out (a holder now and then sleeps inside), and
// nested holds through each get function; halfway through, a ninth thread
// ends holding a mutex lock twice: the next taker gets it as a single hold.
// A lost wake-up leaves a thread asleep for good: the watchdog's case.
TEST_P(KmtContention, EightThreadsKeepOneHolderAndAnExactCount) {
    const Kind &k = GetParam();
    void *h = make(k);
    constexpr int kThreads = 8;
    for (const bool mix : {false, true}) {
        if (mix && k.tsv) break;
        SCOPED_TRACE(mix ? "every get" : "plain gets");
        const int iterations = load_iterations(k) / (mix ? 10 : 1);
        long long count = 0;  // guarded by h alone
        std::atomic<long long> obtained_total{0};
        std::atomic<int> inside{0}, overlaps{0}, failures{0}, missed{0};
        Latch start(kThreads + 1), halfway(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const unsigned me = KmtGetCurrentThreadID();
                start.arrive_and_wait();
                for (int i = 0; i < iterations; ++i) {
                    if (i == iterations / 2) halfway.count_down();
                    int obtained = 1, rc = 0;
                    switch (mix ? (i + t) % 4 : 0) {
                        case 0:
                            rc = get(k, h);
                            break;
                        case 1:
                            rc = KmtTryToGetLock(h, &obtained);
                            break;
                        case 2:  // 0 to 2 ms, or refused without the option
                            rc = KmtGetLockEx(h, 0, i % 3, &obtained);
                            if (!k.timeouts()) {
                                failures += rc != KMT_ERR_INVALID_STATUS_CODE || obtained != 0;
                                rc = KmtGetLockEx(h, 0, -1, &obtained);
                            }
                            break;
                        default:
                            rc = KmtGetLockEx(h, 0, -1, &obtained);
                    }
                    if (rc != 0 || obtained != 1) {
                        failures += rc != 0 || obtained != 0;
                        missed += rc == 0;
                        continue;
                    }
                    // Relaxed on purpose: h alone must order `count`.
                    if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlaps.fetch_add(1);
                    ++count;
                    ++obtained_total;
                    if (i % (mix ? 8 : 64) == 0) {  // nested holds, and the owner seen while others wait
                        int tried = 1, waited = 1, owner = 0, holds = 1;
                        failures += (k.tsv ? get(k, h) : KmtTryToGetLock(h, &tried)) != 0 || tried != 1;
                        if (mix) {
                            failures += KmtGetLockEx(h, 0, k.timeouts() ? 0 : -1, &waited) != 0 || waited != 1;
                            failures += KmtGetLock(h) != 0;
                            holds = 3;
                        }
                        failures += !k.tsv && (KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner) != 0 ||
                                               static_cast<unsigned>(owner) != me);
                        for (int n = 0; n < holds; ++n) failures += release(k, h) != 0;
                    }
                    if (mix && i % 256 == t) std::this_thread::sleep_for(1ms);
                    inside.fetch_sub(1, std::memory_order_relaxed);
                    failures += release(k, h) != 0;
                }
            });
        }
        // A mutex lock only: a critical section would stay held. The ender
        // leaves `count` alone: the thread sanitizer does not see a dead
        // owner's mutex change hands.
        std::thread ender([&] {
            start.arrive_and_wait();
            if (!mix || (k.options == 0 && !k.named)) return;
            halfway.wait();
            int tried = 0;
            failures += KmtGetLock(h) != 0 || KmtTryToGetLock(h, &tried) != 0 || tried != 1;
        });
        ender.join();
        for (auto &t : threads) t.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(missed.load() > 0, mix) << "a plain get failed, or no try or timed get ever found the lock taken";
        EXPECT_EQ(count, mix ? obtained_total.load() : static_cast<long long>(kThreads) * iterations);
        if (k.tsv) continue;
        EXPECT_EQ(owner_of(h), 0u);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
        EXPECT_TRUE(free_for_others(h));
    }
    EXPECT_EQ(discard(k, h), 0);
}

// Six threads wait in get functions (with and without a time-out) while the
// object is discarded: each either gets it before the discard (and gives it
// back, letting the discard finish) or wakes with "invalid handle"; none
// touches a freed object or sleeps for good. The discard of a critical
// section, which does not queue behind its waiters, wakes some of them.
TEST_P(KmtContention, WaitersOfADiscardedObjectWakeWithInvalidHandleOrGetItFirst) {
    const Kind &k = GetParam();
    constexpr int kWaiters = 6;
    int invalid = 0;
    for (int round = 0; round < 40; ++round) {
        void *h = make(k);
        // Even rounds: a third thread holds it while the discard starts. Odd
        // rounds: the discarding thread holds it and releases it just before.
        auto holder = round % 2 == 0 ? std::make_unique<HeldElsewhere>(k, h) : nullptr;
        ASSERT_EQ(holder ? 0 : get(k, h), 0);
        Latch waiting(kWaiters);
        int waited[kWaiters], after[kWaiters] = {};
        std::vector<std::thread> waiters;
        for (int w = 0; w < kWaiters; ++w)
            waiters.emplace_back([&, w] {
                waiting.count_down();
                waited[w] = get(k, h, k.timeouts() && (round + w) % 2 == 0 ? 30000 : -1);
                if (waited[w] == 0) after[w] = release(k, h);
            });
        waiting.wait();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(holder ? (holder->go.count_down(), 0) : release(k, h), 0);
        EXPECT_EQ(discard(k, h), 0) << round;
        for (int w = 0; w < kWaiters; ++w) {
            waiters[w].join();
            EXPECT_TRUE(waited[w] == 0 || waited[w] == KMT_ERR_INVALID_HANDLE) << round << ": " << waited[w];
            EXPECT_EQ(after[w], 0) << round;
            invalid += waited[w] == KMT_ERR_INVALID_HANDLE;
        }
        EXPECT_EQ(get(k, h), KMT_ERR_INVALID_HANDLE) << round;
    }
    RecordProperty("waiters_refused", invalid);
    if (k.label == kCriticalSection.label) {
        EXPECT_GT(invalid, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtContention,
                         testing::Values(kCriticalSection, kTimeoutMutex, kNamedTimeout,
                                         Kind{"ThreadSafeVariable", 0, false, true}),
                         kind_label);

// Names up to 260 characters are accepted; an empty name makes an unshared lock.
TEST_F(KmtLocks, LocksOfOneNameShareOneMutexUntilTheLastIsDiscarded) {
    const std::string name = unique_name("shared");
    std::string long_name = unique_name("long");
    long_name.resize(260, 'n');
    const auto open = [](const std::string &n, unsigned options) {
        KmtLockHandle h = nullptr;
        EXPECT_EQ(KmtNewLock(n.c_str(), options, &h), 0) << n;
        return h;
    };
    // Whether another thread can take `other` while this one holds `held`.
    const auto check = [](KmtLockHandle held, KmtLockHandle other, bool shared) {
        ASSERT_EQ(KmtGetLock(held), 0);
        EXPECT_EQ(free_for_others(other), !shared);
        EXPECT_EQ(KmtReleaseLock(held), 0);
        EXPECT_TRUE(free_for_others(other));
    };
    KmtLockHandle a = open(name, 2), b = open(name, 2), c = open(name, 0), l1 = open(long_name, 0),
                  l2 = open(long_name, 2);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str()));
    check(a, b, true);
    check(a, c, true);
    check(a, l1, false);

    // Discarding one leaves the others shared, also with a lock of the name
    // made after the discard.
    EXPECT_EQ(KmtDiscardLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(l1), 0);
    a = open(name, 0);
    l1 = open(long_name, 0);
    check(c, b, true);
    check(b, a, true);
    check(l2, l1, true);
    EXPECT_EQ(KmtDiscardLock(b), 0);
    EXPECT_EQ(KmtDiscardLock(c), 0);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str())) << "the mutex went away while a lock still named it";
    for (KmtLockHandle h : {a, l1, l2}) EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));  // the last lock of a name takes it with it

    a = open("", 0);
    b = open("", 2);
    check(a, b, false);
    for (KmtLockHandle h : {a, b}) EXPECT_EQ(KmtDiscardLock(h), 0);
}

// The helper program opens the named lock in a process of its own; -1 when
// it had to be killed at timeout_ms. Exit codes: 10 obtained, 11 not obtained,
// others a failure (see the helper).
int run_helper(const std::string &name, const char *mode, const char *a = nullptr, const char *b = nullptr,
               std::uint32_t timeout_ms = 60000) {
    const char *args[] = {name.c_str(), mode, a, b, nullptr};
    int exit_code = -1;
    return kez::os::process_run(KEZ_NAMED_LOCK_HELPER, args, timeout_ms, &exit_code) ? exit_code : -1;
}

long read_number(const std::string &path) {
    long value = -1;
    return std::ifstream(path) >> value ? value : -1;
}

// The objects that the engine's start-up makes for a process, named after its id (POSIX).
std::vector<std::string> process_entries(long pid) {
#if defined(_WIN32)
    return (void)pid, std::vector<std::string>{};
#else
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lx", pid);
    return {std::string("/dev/shm/Brennick - Kez Runtime Info Mutex") + hex,
            std::string("/dev/shm/Brennick - Kez Runtime Info Shared Memory") + hex};
#endif
}

// Removes the name and the killed processes' objects should the engine keep them.
struct Leftovers {
    std::string name;
    std::vector<long> killed;
    ~Leftovers() {
        std::error_code ec;
        if (!process_entries(0).empty()) std::filesystem::remove("/dev/shm/" + name, ec);
        for (long pid : killed)
            for (const std::string &entry : process_entries(pid)) std::filesystem::remove(entry, ec);
    }
};

// Starts `count` helpers that open the lock, get it twice (one at a time) and
// wait until they are killed, long enough after for all of them to open it
// (one helper's start, `one_ms`, times the count, plus a margin).
void kill_holders(Leftovers &left, int count, long long one_ms) {
    kez::test::TempDir dir;
    const auto kill_after = static_cast<std::uint32_t>(std::clamp<long long>(one_ms * count + 3000, 3000, 120000));
    std::atomic<int> ended{0}, opened{0}, held{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            ended += run_helper(left.name, "hold", dir.file(std::to_string(i)).c_str(), nullptr, kill_after) != -1;
        });
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < count; ++i) {
        const long pid = read_number(dir.file(std::to_string(i) + ".opened"));
        opened += pid >= 0;
        if (pid > 0) left.killed.push_back(pid);
        held += std::filesystem::exists(dir.file(std::to_string(i) + ".held"));
    }
    EXPECT_EQ(ended.load(), 0) << "a helper failed instead of waiting to be killed";
    EXPECT_EQ(opened.load(), count) << "a helper was killed before it opened the lock";
    EXPECT_GE(held.load(), 1);
}

// A lock left held by a process that ended (0 holders: normally, holding it
// twice) or was killed (50) is taken over by a survivor with a single hold;
// a name whose users were all killed (3) is taken over by its next user. The
// name goes with the last live user, and the next process's engine start
// removes what the killed ones left.
TEST_F(KmtLocks, ANamedLockIsSharedWithOtherProcessesAndOutlivesNoneOfItsLiveUsers) {
    Leftovers left{unique_name("process"), {}};
    const char *name = left.name.c_str();
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name, OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    ASSERT_EQ(KmtGetLock(h), 0);
    const auto start = Clock::now();
    EXPECT_EQ(run_helper(name, "try"), 11) << "the other process got a lock this one holds";
    const auto one_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(run_helper(name, "try", "200"), 11);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(run_helper(name, "try"), 10) << "the other process could not get a free lock";

    for (int holders : {0, 50, 3}) {
        SCOPED_TRACE(testing::Message() << holders << " holders");
        if (holders == 3) {
            EXPECT_TRUE(kez::os::named_mutex_exists(name));
            EXPECT_EQ(KmtDiscardLock(h), 0);
            EXPECT_FALSE(kez::os::named_mutex_exists(name)) << "the killed users kept the name alive";
        }
        if (holders == 0) {
            EXPECT_EQ(run_helper(name, "abandon"), 10);  // ends normally, holding it twice
        } else {
            kill_holders(left, holders, one_ms);
        }
        if (holders == 3) {  // POSIX keeps the name of dead users, Windows not
            EXPECT_EQ(kez::os::named_mutex_exists(name), !process_entries(0).empty());
            ASSERT_EQ(KmtNewLock(name, OPT_TL_SUPPORT_TIMEOUT, &h), 0);
        }
        int obtained = -1;
        EXPECT_EQ(KmtGetLockEx(h, 0, holders == 3 ? 0 : 10000, &obtained), 0);
        ASSERT_EQ(obtained, 1) << "a lock left held by an ended process was not taken over";
        EXPECT_EQ(KmtReleaseLock(h), 0);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
        EXPECT_EQ(run_helper(name, "try"), 10);
        for (long pid : left.killed)
            for (const std::string &entry : process_entries(pid)) EXPECT_FALSE(std::filesystem::exists(entry)) << entry;
    }
    EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name)) << "the name outlived its last live user";
}

// Each round of each process opens the name anew, racing the last closer's
// removal of it: two processes on two mutexes of one name would lose increments.
TEST_F(KmtLocks, ProcessesOpeningAndDiscardingOneNameShareOneMutex) {
    constexpr int kProcesses = 4, kRounds = 300;
    Leftovers left{unique_name("churn"), {}};
    kez::test::TempDir dir;
    const std::string counter = dir.file("count"), rounds = std::to_string(kRounds);
    ASSERT_TRUE(std::ofstream(counter) << "0\n");
    std::vector<int> codes(kProcesses, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kProcesses; ++i)
        threads.emplace_back(
            [&, i] { codes[i] = run_helper(left.name, "churn", rounds.c_str(), counter.c_str(), 240000); });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(codes, std::vector<int>(kProcesses, 10));
    EXPECT_EQ(read_number(counter), kProcesses * kRounds) << "two processes held the lock at once";
    EXPECT_FALSE(kez::os::named_mutex_exists(left.name.c_str()));
}

TEST_F(KmtLocks, BadArgumentsAndHandlesThatAreNotLiveLocksAreRefused) {
    const std::string name = unique_name("bad");
    std::string too_long = unique_name("long");
    too_long.resize(261, 'n');
    for (const char *n : {static_cast<const char *>(nullptr), name.c_str(), too_long.c_str()}) {
        for (unsigned options : {0u, 2u, 3u, 4u, 5u, 7u, 8u, 0x80000000u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(testing::Message() << (n ? n : "(null)") << " options " << options);
            EXPECT_EQ(KmtNewLock(n, options, nullptr), KMT_ERR_INVALID_PARAMETER);
            if (options < 4 && n != too_long.c_str()) continue;  // valid but for the null out pointer
            KmtLockHandle h = kSentinel;
            EXPECT_EQ(KmtNewLock(n, options, &h), KMT_ERR_INVALID_PARAMETER);
            EXPECT_EQ(h, kSentinel);
        }
    }
    KmtLockHandle live = make(kTimeoutMutex);
    KmtTSVHandle tsv = nullptr;
    ASSERT_EQ(KmtNewTSV(64, &tsv), 0);
    std::uint64_t zeros[16] = {};
    for (KmtLockHandle w : {kWild, reinterpret_cast<void *>(0x1000), static_cast<void *>(zeros),
                            static_cast<void *>(static_cast<char *>(live) + 8),
                            static_cast<void *>(static_cast<char *>(live) + 4), tsv, static_cast<void *>(nullptr)})
        expect_not_a_lock(w);

    // Memory that merely looks like a lock: only calls that cannot crash on a
    // look-alike are made, so a wrong answer shows as a failure.
    std::uint32_t forged[32];
    std::fill(std::begin(forged), std::end(forged), 0x0BADF010u);
    auto heap_forged = std::make_unique<std::uint32_t[]>(32);
    heap_forged[0] = 0x0BADF010u;
    for (KmtLockHandle w : {static_cast<void *>(forged), static_cast<void *>(heap_forged.get())}) {
        int owner = 7;
        EXPECT_EQ(KmtGetLockAttribute(w, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE);
        EXPECT_EQ(KmtReleaseLock(w), KMT_ERR_INVALID_HANDLE);
    }

    // A null obtained pointer is refused before the handle is looked at.
    EXPECT_EQ(KmtGetLockEx(kWild, 0, 0, nullptr), KMT_ERR_INVALID_PARAMETER);

    // The real lock was not disturbed by any of it.
    EXPECT_TRUE(free_for_others(live));
    EXPECT_EQ(KmtDiscardLock(live), 0);
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

TEST_F(KmtLocks, SystemFailuresGiveSystemErrorAndLeaveNothingHalfDone) {
    char denied[256];
    kez::os::error_text(kez::os::kAccessDenied, denied, sizeof denied);
    const std::string name = unique_name("refused");
    for (const char *n : {static_cast<const char *>(nullptr), name.c_str()}) {
        KmtLockHandle h = kSentinel;
        KezTest_ArmFault("os.user_mutex_open", 1);
        EXPECT_EQ(KmtNewLock(n, OPT_TL_SUPPORT_TIMEOUT, &h), KMT_ERR_SYSTEM_ERROR);
        EXPECT_EQ(h, kSentinel);
        EXPECT_EQ(kez::test::kmt_message(KMT_ERR_SYSTEM_ERROR), denied);
    }
    // The name opens normally now; a failed wait takes nothing.
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        int obtained = -1;
        KezTest_ArmFault("os.user_mutex_wait", 1);
        const int rc = call == 0   ? KmtGetLockEx(h, 0, 100, &obtained)
                       : call == 1 ? KmtTryToGetLock(h, &obtained)
                                   : (obtained = 0, KmtGetLock(h));
        EXPECT_EQ(rc, KMT_ERR_SYSTEM_ERROR);
        EXPECT_EQ(obtained, 0);
        EXPECT_EQ(owner_of(h), 0u);
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    }
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
    // A failed close still ends the lock.
    h = make(kTimeoutMutex);
    KezTest_ArmFault("os.user_mutex_close", 1);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_SYSTEM_ERROR);
    expect_not_a_lock(h);
}

}  // namespace
