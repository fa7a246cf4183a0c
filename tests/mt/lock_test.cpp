// Locks of the multithreading library: creation, recursion and ownership,
// time-outs, locks abandoned by their holder, named locks shared within a
// process and between processes, discarding under contention, and handles
// that are not (or no longer) locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "mt/kmt_test_util.h"
#include "os/os.h"
#include "support/latch.h"
#include "support/linked_engine_tap.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kez::test::Latch;
using kez::test::on_other_thread;
using kez::test::Watchdog;

const KmtLockHandle kSentinel = kez::test::fake_handle<KmtLockHandle>(0x5EED);
const KmtLockHandle kWild = kez::test::fake_handle<KmtLockHandle>(1);

std::string unique_name(const char *what) {
    static std::atomic<int> counter{0};
    return std::string("kez-mt-lock-") + what + "-" + std::to_string(kez::os::current_process_id()) + "-" +
           std::to_string(counter.fetch_add(1));
}

struct Kind {
    const char *label;
    unsigned options;
    bool named;
    bool timeouts() const { return (options & OPT_TL_SUPPORT_TIMEOUT) != 0; }
    bool events() const { return (options & OPT_TL_PROCESS_EVENTS_WHILE_WAITING) != 0; }
};
std::string kind_label(const testing::TestParamInfo<Kind> &info) { return info.param.label; }

const Kind kCriticalSection{"CriticalSection", 0, false};
const Kind kEventsMutex{"EventsMutex", OPT_TL_PROCESS_EVENTS_WHILE_WAITING, false};
const Kind kTimeoutMutex{"TimeoutMutex", OPT_TL_SUPPORT_TIMEOUT, false};
const Kind kBothOptionsMutex{"BothOptionsMutex", OPT_TL_PROCESS_EVENTS_WHILE_WAITING | OPT_TL_SUPPORT_TIMEOUT, false};
const Kind kNamed{"Named", 0, true};
const Kind kNamedTimeout{"NamedTimeout", OPT_TL_SUPPORT_TIMEOUT, true};

KmtLockHandle new_lock(const Kind &kind) {
    KmtLockHandle h = nullptr;
    const std::string name = kind.named ? unique_name(kind.label) : std::string();
    EXPECT_EQ(KmtNewLock(kind.named ? name.c_str() : nullptr, kind.options, &h), 0) << kind.label;
    EXPECT_NE(h, nullptr) << kind.label;
    return h;
}

unsigned owner_of(KmtLockHandle h) {
    int owner = -1;
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner), 0);
    return static_cast<unsigned>(owner);
}

// Whether another thread can take the lock right now (it gives it back).
bool free_for_others(KmtLockHandle h) {
    return on_other_thread([h] {
        int obtained = -1;
        if (KmtTryToGetLock(h, &obtained) != 0) return false;
        return obtained == 1 && KmtReleaseLock(h) == 0;
    });
}

// Every call with h is refused as an invalid handle and writes nothing but
// *obtained = 0.
void expect_not_a_lock(KmtLockHandle h) {
    SCOPED_TRACE(testing::Message() << "handle " << h);
    EXPECT_EQ(KmtGetLock(h), KMT_ERR_INVALID_HANDLE);
    for (int timeout : {-1, 0}) {
        int obtained = -1;
        EXPECT_EQ(KmtGetLockEx(h, 0, timeout, &obtained), KMT_ERR_INVALID_HANDLE);
        EXPECT_EQ(obtained, 0);
    }
    int obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(obtained, 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_INVALID_HANDLE);
    int owner = 7;
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(owner, 7);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_INVALID_HANDLE);
}

// Holds a lock on a thread of its own until release().
kez::test::HeldElsewhere held_elsewhere(KmtLockHandle h) {
    return kez::test::HeldElsewhere([h] { return KmtGetLock(h); }, [h] { return KmtReleaseLock(h); });
}

// ---- creation ------------------------------------------------------------------

TEST(KmtLockCreate, BadArgumentsAreRefusedAndTheHandleIsLeftAlone) {
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
}

// ---- behaviour common to every kind ----------------------------------------------

class KmtLockKinds : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockKinds, HoldsAreCountedAndBelongToOneThread) {
    Watchdog watchdog(60s, "lock holds");
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    const unsigned me = KmtGetCurrentThreadID();
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseLock(h); }), KMT_ERR_LOCK_NOT_HELD);

    // Three holds, one through each get function.
    ASSERT_EQ(KmtGetLock(h), 0);
    int obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
    EXPECT_EQ(obtained, 1);
    obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, &obtained), 0);
    EXPECT_EQ(obtained, 1);

    for (int left = 3; left > 0; --left) {
        SCOPED_TRACE(testing::Message() << left << " holds left");
        // Another thread may neither release nor take it, and its refused
        // release takes nothing away: "<release> <owner> <try> <obtained>".
        EXPECT_EQ(on_other_thread([h] {
                      int owner = 0, got = -1;
                      const int released = KmtReleaseLock(h);
                      KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner);
                      const int tried = KmtTryToGetLock(h, &got);
                      return std::to_string(released) + " " + std::to_string(static_cast<unsigned>(owner)) + " " +
                             std::to_string(tried) + " " + std::to_string(got);
                  }),
                  "-14930 " + std::to_string(me) + " 0 0");
        // Nor may the holder discard it.
        EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_LOCK_HELD);
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
        const bool allowed = (events == 0 || kind.events()) && (timeout == -1 || kind.timeouts());
        obtained = -1;
        EXPECT_EQ(KmtGetLockEx(h, events, timeout, &obtained), allowed ? 0 : KMT_ERR_INVALID_STATUS_CODE);
        EXPECT_EQ(obtained, allowed ? 1 : 0);
        if (allowed) {
            EXPECT_EQ(KmtReleaseLock(h), 0);
        }
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    }

    // The owner attribute names the holding thread, not the caller, and the
    // caller's release is refused.
    {
        auto holder = held_elsewhere(h);
        EXPECT_NE(holder.id(), me);
        EXPECT_EQ(owner_of(h), holder.id());
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
        obtained = -1;
        EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
        EXPECT_EQ(obtained, 0);
    }
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
    expect_not_a_lock(h);
}

// ---- time-outs -------------------------------------------------------------------

TEST_P(KmtLockKinds, AWaitEndsAtItsTimeoutOrWhenTheLockIsReleased) {
    if (!GetParam().timeouts()) GTEST_SKIP() << "no time-outs";
    Watchdog watchdog(60s, "lock time-outs");
    KmtLockHandle h = new_lock(GetParam());
    auto holder = held_elsewhere(h);
    for (int timeout : {0, 100}) {
        int obtained = -1;
        const auto start = Clock::now();
        EXPECT_EQ(KmtGetLockEx(h, 0, timeout, &obtained), 0);
        const auto waited = Clock::now() - start;
        EXPECT_EQ(obtained, 0);
        EXPECT_GE(waited, std::chrono::milliseconds(timeout * 95 / 100));
        EXPECT_LT(waited, 5s);
    }
    // A time-out leaves nothing held by this thread.
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
    EXPECT_EQ(owner_of(h), holder.id());

    // A waiter takes the lock when it is released, not at its time-out.
    int rc = -1, obtained = -1;
    Clock::duration waited{};
    std::thread waiter([&] {
        const auto start = Clock::now();
        rc = KmtGetLockEx(h, 0, 20000, &obtained);
        waited = Clock::now() - start;
        if (owner_of(h) != KmtGetCurrentThreadID()) rc = -1;
        if (obtained == 1 && KmtReleaseLock(h) != 0) rc = -2;
    });
    std::this_thread::sleep_for(100ms);
    holder.release();
    waiter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(obtained, 1);
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

// ---- abandoned locks -----------------------------------------------------------------

TEST_P(KmtLockKinds, AnAbandonedLockIsTakenOverAsASingleHold) {
    const Kind &kind = GetParam();
    if (kind.options == 0 && !kind.named) GTEST_SKIP() << "a critical section cannot be abandoned";
    Watchdog watchdog(60s, "abandoned lock");
    for (const char *how : {"get", "try"}) {
        SCOPED_TRACE(how);
        KmtLockHandle h = new_lock(kind);
        int failures = 0;
        std::thread([&] {  // ends holding it three times
            int obtained = 0;
            failures += KmtGetLock(h) != 0;
            failures += KmtTryToGetLock(h, &obtained) != 0 || obtained != 1;
            failures += KmtGetLockEx(h, 0, -1, &obtained) != 0 || obtained != 1;
        }).join();
        ASSERT_EQ(failures, 0);

        int obtained = -1;
        if (how[0] == 't')
            EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
        else if (kind.timeouts())
            EXPECT_EQ(KmtGetLockEx(h, 0, 10000, &obtained), 0);
        else
            obtained = KmtGetLock(h) == 0 ? 1 : 0;
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
                         testing::Values(kCriticalSection, kEventsMutex, kTimeoutMutex, kBothOptionsMutex, kNamed,
                                         kNamedTimeout),
                         kind_label);

// ---- contention, on locks and thread-safe variables alike ----------------------------

// A lock of one kind, or a thread-safe variable (whose get writes into its
// block, so that a block freed too early shows under the sanitizers).
struct Guarded {
    Kind kind;
    bool tsv;
};
std::string guarded_label(const testing::TestParamInfo<Guarded> &info) { return info.param.kind.label; }

void *make(const Guarded &g) {
    KmtTSVHandle tsv = nullptr;
    if (!g.tsv) return new_lock(g.kind);
    EXPECT_EQ(KmtNewTSV(64, &tsv), 0);
    return tsv;
}
// Gets it, waiting up to timeout_ms (a lock with time-outs) or for ever (-1).
int get(const Guarded &g, void *h, int timeout_ms = -1) {
    char *p = nullptr;
    int obtained = -1;
    if (g.tsv) {
        const int rc = KmtGetTSVPtr(h, &p);
        if (rc == 0) p[63] = 1;
        return rc;
    }
    if (timeout_ms < 0) return KmtGetLock(h);
    const int rc = KmtGetLockEx(h, 0, timeout_ms, &obtained);
    return rc != 0 ? rc : obtained == 1 ? 0 : -1;
}
int release(const Guarded &g, void *h) { return g.tsv ? KmtReleaseTSVPtr(h) : KmtReleaseLock(h); }
int discard(const Guarded &g, void *h) { return g.tsv ? KmtDiscardTSV(h) : KmtDiscardLock(h); }

const Guarded kTsv{{"ThreadSafeVariable", 0, false}, true};

// Iterations a thread: a million where locks are cheap; the thread
// sanitizer slows every lock operation, and under Wine each wait on a kernel
// mutex is a round trip to the server.
int load_iterations(const Guarded &g) {
#if defined(_WIN32)
    return g.kind.named || g.kind.options != 0 ? 10000 : g.tsv ? 100000 : 200000;
#elif defined(KEZ_TEST_TSAN)
    return (void)g, 100000;
#else
    return (void)g, 1000000;
#endif
}

class KmtContention : public testing::TestWithParam<Guarded> {};

TEST_P(KmtContention, EightThreadsKeepAnExactCount) {
    Watchdog watchdog(600s, "eight threads on one lock");
    const Guarded &g = GetParam();
    void *h = make(g);
    constexpr int kThreads = 8;
    const int iterations = load_iterations(g);
    long long count = 0;  // guarded by h alone
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    Latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            const unsigned me = KmtGetCurrentThreadID();
            start.arrive_and_wait();
            for (int i = 0; i < iterations; ++i) {
                if (get(g, h) != 0) {
                    failures.fetch_add(1);
                    continue;
                }
                // Relaxed on purpose: h alone must order `count`.
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlaps.fetch_add(1);
                ++count;
                if (i % 64 == 0) {  // a nested hold, and the owner seen while others wait
                    int obtained = 1, owner = static_cast<int>(me);
                    if ((g.tsv ? get(g, h) : KmtTryToGetLock(h, &obtained)) != 0 || obtained != 1)
                        failures.fetch_add(1);
                    if (!g.tsv && (KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner) != 0 ||
                                   static_cast<unsigned>(owner) != me))
                        failures.fetch_add(1);
                    if (release(g, h) != 0) failures.fetch_add(1);
                }
                inside.fetch_sub(1, std::memory_order_relaxed);
                if (release(g, h) != 0) failures.fetch_add(1);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(count, static_cast<long long>(kThreads) * iterations);
    if (!g.tsv) {
        EXPECT_EQ(owner_of(h), 0u);
    }
    EXPECT_EQ(discard(g, h), 0);
}

// A thread waits in a get function while the object is discarded: it either
// gets it before the discard (and gives it back, letting the discard finish)
// or wakes with "invalid handle"; it never touches a freed object.
TEST_P(KmtContention, AWaiterOfADiscardedObjectWakesWithInvalidHandleOrGetsItFirst) {
    Watchdog watchdog(300s, "discard while waiting");
    const Guarded &g = GetParam();
    int invalid = 0;
    for (int round = 0; round < 40; ++round) {
        void *h = make(g);
        // Even rounds: a third thread holds it while the discard starts.
        // Odd rounds: the discarding thread holds it and releases it just
        // before discarding.
        std::unique_ptr<kez::test::HeldElsewhere> holder;
        if (round % 2 == 0) {
            holder = std::make_unique<kez::test::HeldElsewhere>([&] { return get(g, h); },
                                                                [&] {
                                                                    std::this_thread::sleep_for(5ms);
                                                                    return release(g, h);
                                                                });
        } else {
            ASSERT_EQ(get(g, h), 0);
        }
        Latch waiting(1);
        int waited = -1, after = 0;
        std::thread waiter([&] {
            waiting.count_down();
            waited = get(g, h, g.kind.timeouts() && round % 4 < 2 ? 30000 : -1);
            if (waited == 0) after = release(g, h);
        });
        waiting.wait();
        std::this_thread::sleep_for(5ms);
        if (holder) {
            holder->let_go();
        } else {
            EXPECT_EQ(release(g, h), 0);
        }
        EXPECT_EQ(discard(g, h), 0) << round;
        waiter.join();
        holder.reset();
        EXPECT_TRUE(waited == 0 || waited == KMT_ERR_INVALID_HANDLE) << round << ": " << waited;
        EXPECT_EQ(after, 0) << round;
        invalid += waited == KMT_ERR_INVALID_HANDLE;
        EXPECT_EQ(get(g, h), KMT_ERR_INVALID_HANDLE) << round;
    }
    RecordProperty("waiters_refused", invalid);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtContention,
                         testing::Values(Guarded{kCriticalSection, false}, Guarded{kTimeoutMutex, false},
                                         Guarded{kNamedTimeout, false}, kTsv),
                         guarded_label);

// ---- named locks -----------------------------------------------------------------------

// Names up to 260 characters are accepted; an empty name makes an unshared lock.
TEST(KmtNamedLocks, LocksOfOneNameShareOneMutexUntilTheLastIsDiscarded) {
    Watchdog watchdog(60s, "named locks in one process");
    const std::string name = unique_name("shared");
    std::string long_name = unique_name("long");
    long_name.resize(260, 'n');
    KmtLockHandle a = nullptr, b = nullptr, c = nullptr, long1 = nullptr, long2 = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &a), 0);
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &b), 0);
    ASSERT_EQ(KmtNewLock(name.c_str(), 0, &c), 0);
    ASSERT_EQ(KmtNewLock(long_name.c_str(), 0, &long1), 0);
    ASSERT_EQ(KmtNewLock(long_name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &long2), 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str()));

    ASSERT_EQ(KmtGetLock(a), 0);
    EXPECT_FALSE(free_for_others(b));
    EXPECT_FALSE(free_for_others(c));
    EXPECT_TRUE(free_for_others(long1)) << "another name is another mutex";
    EXPECT_EQ(KmtReleaseLock(a), 0);
    EXPECT_TRUE(free_for_others(b));

    // Discarding one leaves the others shared, also with a lock of the name
    // made after the discard.
    EXPECT_EQ(KmtDiscardLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(long1), 0);
    ASSERT_EQ(KmtNewLock(name.c_str(), 0, &a), 0);
    ASSERT_EQ(KmtNewLock(long_name.c_str(), 0, &long1), 0);
    for (const auto &[held, other] : {std::pair{c, b}, std::pair{b, a}, std::pair{long2, long1}}) {
        ASSERT_EQ(KmtGetLock(held), 0);
        EXPECT_FALSE(free_for_others(other)) << (held == long2 ? "long name" : "name");
        EXPECT_EQ(KmtReleaseLock(held), 0);
        EXPECT_TRUE(free_for_others(other));
    }
    EXPECT_EQ(KmtDiscardLock(b), 0);
    EXPECT_EQ(KmtDiscardLock(c), 0);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str())) << "the mutex went away while a lock still named it";
    EXPECT_EQ(KmtDiscardLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(long1), 0);
    EXPECT_EQ(KmtDiscardLock(long2), 0);
    // The last lock of a name takes the system object with it.
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));

    ASSERT_EQ(KmtNewLock("", 0, &a), 0);
    ASSERT_EQ(KmtNewLock("", OPT_TL_SUPPORT_TIMEOUT, &b), 0);
    ASSERT_EQ(KmtGetLock(a), 0);
    EXPECT_TRUE(free_for_others(b));
    EXPECT_EQ(KmtReleaseLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(b), 0);
}

// The helper program opens the named lock in a process of its own.
// Exit codes: 10 obtained, 11 not obtained, others a failure (see the helper).
int run_helper(const std::string &name, const char *mode, const char *argument = nullptr) {
    const char *args[] = {name.c_str(), mode, argument, nullptr};
    int exit_code = -1;
    if (!kez::os::process_run(KEZ_NAMED_LOCK_HELPER, args, 60000, &exit_code)) return -1;
    return exit_code;
}

TEST(KmtNamedLocks, ANamedLockIsSharedWithAnotherProcessAndTakenOverWhenItEnds) {
    Watchdog watchdog(300s, "named lock between processes");
    const std::string name = unique_name("process");
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    ASSERT_EQ(KmtGetLock(h), 0);
    EXPECT_EQ(run_helper(name, "try"), 11) << "the other process got a lock this one holds";
    EXPECT_EQ(run_helper(name, "wait", "200"), 11);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(run_helper(name, "try"), 10) << "the other process could not get a free lock";

    // The other process ends normally, still holding the lock twice.
    EXPECT_EQ(run_helper(name, "abandon"), 10);
    int obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, 10000, &obtained), 0);
    ASSERT_EQ(obtained, 1) << "a lock left held by an ended process was not taken over";
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(run_helper(name, "try"), 10);
    EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));
}

// ---- handles that are not locks ----------------------------------------------------------

TEST(KmtLockHandles, HandlesThatAreNotLiveLocksAreRefused) {
    KmtLockHandle live = new_lock(kTimeoutMutex);
    KmtTSVHandle tsv = nullptr;
    ASSERT_EQ(KmtNewTSV(64, &tsv), 0);
    std::uint64_t zeros[16] = {};
    for (KmtLockHandle w : {kWild, kez::test::fake_handle<KmtLockHandle>(0x1000), static_cast<KmtLockHandle>(zeros),
                            static_cast<KmtLockHandle>(static_cast<char *>(live) + 8),
                            static_cast<KmtLockHandle>(static_cast<char *>(live) + 4), static_cast<KmtLockHandle>(tsv)})
        expect_not_a_lock(w);

    // Memory that merely looks like a lock: only calls that cannot crash on a
    // look-alike are made, so a wrong answer shows as a failure.
    std::uint32_t forged[32];
    std::fill(std::begin(forged), std::end(forged), 0x0BADF010u);
    auto heap_forged = std::make_unique<std::uint32_t[]>(32);
    heap_forged[0] = 0x0BADF010u;
    for (KmtLockHandle w : {static_cast<KmtLockHandle>(forged), static_cast<KmtLockHandle>(heap_forged.get())}) {
        int owner = 7;
        EXPECT_EQ(KmtGetLockAttribute(w, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE);
        EXPECT_EQ(KmtReleaseLock(w), KMT_ERR_INVALID_HANDLE);
    }

    // Null is not a lock either, except that discarding it does nothing.
    int obtained = -1;
    EXPECT_EQ(KmtGetLock(nullptr), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetLockEx(nullptr, 0, -1, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtTryToGetLock(nullptr, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtReleaseLock(nullptr), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtGetLockAttribute(nullptr, ATTR_TL_OWNER_THREAD_ID, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtDiscardLock(nullptr), 0);
    // A null obtained pointer is refused before the handle is looked at.
    EXPECT_EQ(KmtGetLockEx(kWild, 0, 0, nullptr), KMT_ERR_INVALID_PARAMETER);

    // The real lock was not disturbed by any of it.
    EXPECT_TRUE(free_for_others(live));
    EXPECT_EQ(KmtDiscardLock(live), 0);
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

// ---- system failures -------------------------------------------------------------------

TEST(KmtLockFailures, AMutexTheSystemRefusesGivesSystemErrorAndNoHandle) {
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
    // The name was not left half-made: it opens normally now.
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST(KmtLockFailures, AFailedWaitTakesNothingAndAFailedCloseStillEndsTheLock) {
    KmtLockHandle h = new_lock(kTimeoutMutex);
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
    KezTest_ArmFault("os.user_mutex_close", 1);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_SYSTEM_ERROR);
    expect_not_a_lock(h);
}

// ---- the _UP_ twins and the log ----------------------------------------------------------

TEST(KmtLockTwins, ErrorsAreReportedWithTheLockMessagesAndLoggedAsWarnings) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    using kez::test::last_library_error;
    EXPECT_EQ(_UP_KmtReleaseLock(kWild), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(last_library_error(), "-14901 KmtReleaseLock: Invalid handle.");
    KmtLockHandle h = new_lock(kCriticalSection);
    ASSERT_EQ(_UP_KmtGetLock(h), 0);
    EXPECT_EQ(_UP_KmtDiscardLock(h), KMT_ERR_LOCK_HELD);
    EXPECT_EQ(last_library_error(), "-14931 KmtDiscardLock: You cannot discard a lock that is still owned.");
    EXPECT_EQ(_UP_KmtReleaseLock(h), 0);
    EXPECT_EQ(_UP_KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(last_library_error(), "-14932 KmtReleaseLock: You must get the lock before releasing it.");
    EXPECT_EQ(_UP_KmtDiscardLock(h), 0);

    // Each error is logged once as a warning; successes log nothing.
    std::vector<std::string> logged;
    for (const auto &line : tap.since_mark()) logged.push_back(std::to_string(line.level) + " " + line.text);
    EXPECT_EQ(logged, (std::vector<std::string>{"16 Err = -14901", "16 Err = -14931", "16 Err = -14932"}));
}

}  // namespace