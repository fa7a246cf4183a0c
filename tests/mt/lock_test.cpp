// Locks of the multithreading library: creation, recursion and ownership,
// time-outs, locks abandoned by their holder, named locks shared within a
// process and between processes, discarding under contention, and handles
// that are not (or no longer) locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "os/os.h"
#include "support/linked_engine_tap.h"
#include "support/latch.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"


namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBadMarkerWord = 0x0BADF010u;

// ---- helpers -------------------------------------------------------------------

using kez::test::Latch;

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

// Runs fn on a thread of its own and returns its result.
template <class Fn>
auto on_other_thread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

// Whether another thread can take the lock right now (it gives it back).
bool free_for_others(KmtLockHandle h) {
    return on_other_thread([h] {
        int obtained = -1;
        if (KmtTryToGetLock(h, &obtained) != 0) return false;
        if (obtained == 1 && KmtReleaseLock(h) != 0) return false;
        return obtained == 1;
    });
}

// Holds a lock on a thread of its own until release() (or destruction).
class HolderThread {
public:
    explicit HolderThread(KmtLockHandle h, int holds = 1) : h_(h) {
        thread_ = std::thread([this, holds] {
            for (int i = 0; i < holds && get_result_ == 0; ++i) get_result_ = KmtGetLock(h_);
            id_ = KmtGetCurrentThreadID();
            held_.count_down();
            release_.wait();
            for (int i = 0; i < holds && release_result_ == 0; ++i) release_result_ = KmtReleaseLock(h_);
        });
        held_.wait();
    }
    ~HolderThread() { release(); }
    void release() {
        if (!released_) {
            released_ = true;
            release_.count_down();
            thread_.join();
        }
    }
    unsigned id() const { return id_; }
    int get_result() const { return get_result_; }
    int release_result() const { return release_result_; }

private:
    KmtLockHandle h_;
    Latch held_{1};
    Latch release_{1};
    int get_result_ = 0;
    int release_result_ = 0;
    unsigned id_ = 0;
    bool released_ = false;
    std::thread thread_;
};

// ---- creation ------------------------------------------------------------------

TEST(KmtLockCreate, BadArgumentsAreRefusedAndTheHandleIsLeftAlone) {
    KmtLockHandle sentinel = reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(0x5EED));
    EXPECT_EQ(KmtNewLock(nullptr, 0, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtNewLock(unique_name("null-out").c_str(), OPT_TL_SUPPORT_TIMEOUT, nullptr), KMT_ERR_INVALID_PARAMETER);
    for (unsigned options : {4u, 5u, 7u, 8u, 0x80000000u, 0xFFFFFFFFu}) {
        KmtLockHandle h = sentinel;
        EXPECT_EQ(KmtNewLock(nullptr, options, &h), KMT_ERR_INVALID_PARAMETER) << options;
        EXPECT_EQ(h, sentinel) << options;
        EXPECT_EQ(KmtNewLock(unique_name("options").c_str(), options, &h), KMT_ERR_INVALID_PARAMETER) << options;
        EXPECT_EQ(h, sentinel) << options;
    }
}

TEST(KmtLockCreate, NamesUpTo260CharactersAreAccepted) {
    const std::string stem = unique_name("long");
    for (unsigned options : {0u, static_cast<unsigned>(OPT_TL_SUPPORT_TIMEOUT)}) {
        std::string name = stem + std::to_string(options);
        name.resize(260, 'n');
        KmtLockHandle h = nullptr;
        ASSERT_EQ(KmtNewLock(name.c_str(), options, &h), 0) << options;
        EXPECT_EQ(KmtGetLock(h), 0);
        EXPECT_EQ(owner_of(h), KmtGetCurrentThreadID());
        EXPECT_FALSE(free_for_others(h));
        EXPECT_EQ(KmtReleaseLock(h), 0);
        EXPECT_EQ(KmtDiscardLock(h), 0);

        name.push_back('n');
        KmtLockHandle sentinel = reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(0x5EED));
        h = sentinel;
        EXPECT_EQ(KmtNewLock(name.c_str(), options, &h), KMT_ERR_INVALID_PARAMETER) << options;
        EXPECT_EQ(h, sentinel);
    }
}

TEST(KmtLockCreate, AnEmptyNameMakesAnUnsharedLock) {
    KmtLockHandle a = nullptr;
    KmtLockHandle b = nullptr;
    ASSERT_EQ(KmtNewLock("", 0, &a), 0);
    ASSERT_EQ(KmtNewLock("", OPT_TL_SUPPORT_TIMEOUT, &b), 0);
    ASSERT_EQ(KmtGetLock(a), 0);
    EXPECT_TRUE(free_for_others(b));
    EXPECT_FALSE(free_for_others(a));
    EXPECT_EQ(KmtReleaseLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(a), 0);
    EXPECT_EQ(KmtDiscardLock(b), 0);
}

// ---- behaviour common to every kind ----------------------------------------------

class KmtLockKinds : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockKinds, EachHoldNeedsItsOwnRelease) {
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    const unsigned me = KmtGetCurrentThreadID();
    EXPECT_EQ(owner_of(h), 0u);

    ASSERT_EQ(KmtGetLock(h), 0);
    int obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
    EXPECT_EQ(obtained, 1);
    obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, &obtained), 0);
    EXPECT_EQ(obtained, 1);
    EXPECT_EQ(owner_of(h), me);

    for (int left = 3; left > 0; --left) {
        EXPECT_FALSE(free_for_others(h)) << left;
        EXPECT_EQ(owner_of(h), me) << left;
        EXPECT_EQ(KmtReleaseLock(h), 0) << left;
    }
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_TRUE(free_for_others(h));

    // A null obtained pointer is refused and takes nothing.
    EXPECT_EQ(KmtTryToGetLock(h, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);

    int value = 7;
    for (int attribute : {0, 2, -1, 100}) {
        EXPECT_EQ(KmtGetLockAttribute(h, attribute, &value), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
    }
    EXPECT_EQ(value, 7);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST_P(KmtLockKinds, AnotherThreadCanNeitherReleaseNorTakeAHeldLock) {
    kez::test::Watchdog watchdog(60s, "release by another thread");
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    const unsigned me = KmtGetCurrentThreadID();
    // Nobody holds it: any thread's release is "not held".
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseLock(h); }), KMT_ERR_LOCK_NOT_HELD);

    ASSERT_EQ(KmtGetLock(h), 0);
    struct Seen {
        int release = 0;
        unsigned owner = 0;
        int try_result = -1;
        int obtained = -1;
    };
    const Seen seen = on_other_thread([h] {
        Seen s;
        s.release = KmtReleaseLock(h);
        int owner = 0;
        KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner);
        s.owner = static_cast<unsigned>(owner);
        s.try_result = KmtTryToGetLock(h, &s.obtained);
        return s;
    });
    EXPECT_EQ(seen.release, KMT_ERR_LOCK_NOT_OWNED);
    EXPECT_EQ(seen.owner, me);
    EXPECT_EQ(seen.try_result, 0);
    EXPECT_EQ(seen.obtained, 0);
    // The refused release changed nothing: still exactly one hold.
    EXPECT_EQ(owner_of(h), me);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);

    // The owner attribute names the holding thread, not the caller.
    {
        HolderThread holder(h);
        EXPECT_NE(holder.id(), me);
        EXPECT_EQ(owner_of(h), holder.id());
        int obtained = -1;
        EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
        EXPECT_EQ(obtained, 0);
        holder.release();
        EXPECT_EQ(holder.get_result(), 0);
        EXPECT_EQ(holder.release_result(), 0);
    }
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST_P(KmtLockKinds, DiscardByTheHoldingThreadIsRefusedAndTheLockStaysUsable) {
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    ASSERT_EQ(KmtGetLock(h), 0);
    ASSERT_EQ(KmtGetLock(h), 0);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_LOCK_HELD);
    // Both holds are still there and still only ours.
    EXPECT_EQ(owner_of(h), KmtGetCurrentThreadID());
    EXPECT_FALSE(free_for_others(h));
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_LOCK_HELD);
    EXPECT_FALSE(free_for_others(h));
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST_P(KmtLockKinds, EveryCallWithADiscardedHandleIsRefused) {
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    ASSERT_EQ(KmtGetLock(h), 0);
    ASSERT_EQ(KmtReleaseLock(h), 0);
    ASSERT_EQ(KmtDiscardLock(h), 0);
    EXPECT_EQ(KmtGetLock(h), KMT_ERR_INVALID_HANDLE);
    int obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, -1, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(obtained, 0);
    obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, 0, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(obtained, 0);
    obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(obtained, 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_INVALID_HANDLE);
    int owner = 7;
    EXPECT_EQ(KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(owner, 7);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_INVALID_HANDLE);
}

TEST_P(KmtLockKinds, GetLockExNeedsTheOptionsItUses) {
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    struct Call {
        int events;
        int timeout;
    };
    for (const Call call : {Call{0, 0}, Call{0, 50}, Call{0, 1}, Call{1, -1}, Call{1, 0}}) {
        const bool allowed = (call.events == 0 || kind.events()) && (call.timeout == -1 || kind.timeouts());
        int obtained = -1;
        const int rc = KmtGetLockEx(h, call.events, call.timeout, &obtained);
        if (allowed) {
            EXPECT_EQ(rc, 0) << call.events << " " << call.timeout;
            EXPECT_EQ(obtained, 1) << call.events << " " << call.timeout;
            EXPECT_EQ(KmtReleaseLock(h), 0);
        } else {
            EXPECT_EQ(rc, KMT_ERR_INVALID_STATUS_CODE) << call.events << " " << call.timeout;
            EXPECT_EQ(obtained, 0) << call.events << " " << call.timeout;
        }
        // Whatever happened, nothing is held now.
        EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD) << call.events << " " << call.timeout;
    }
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockKinds,
                         testing::Values(kCriticalSection, kEventsMutex, kTimeoutMutex, kBothOptionsMutex, kNamed,
                                         kNamedTimeout),
                         kind_label);

// ---- time-outs -------------------------------------------------------------------

class KmtLockTimeouts : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockTimeouts, AWaitOnALockHeldElsewhereEndsAfterItsTimeout) {
    kez::test::Watchdog watchdog(60s, "lock time-outs");
    KmtLockHandle h = new_lock(GetParam());
    HolderThread holder(h);

    int obtained = -1;
    auto start = Clock::now();
    EXPECT_EQ(KmtGetLockEx(h, 0, 0, &obtained), 0);
    EXPECT_EQ(obtained, 0);
    EXPECT_LT(Clock::now() - start, 5s);

    obtained = -1;
    start = Clock::now();
    EXPECT_EQ(KmtGetLockEx(h, 0, 100, &obtained), 0);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(obtained, 0);
    EXPECT_GE(waited, 95ms);
    EXPECT_LT(waited, 5s);
    // A time-out leaves nothing held by this thread.
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_OWNED);
    EXPECT_EQ(owner_of(h), holder.id());
    holder.release();
    EXPECT_EQ(holder.release_result(), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST_P(KmtLockTimeouts, AWaiterTakesTheLockWhenItIsReleasedNotAtItsTimeout) {
    kez::test::Watchdog watchdog(60s, "lock hand-over");
    KmtLockHandle h = new_lock(GetParam());
    ASSERT_EQ(KmtGetLock(h), 0);
    Latch waiting(1);
    int rc = -1;
    int obtained = -1;
    int owner_seen = 0;
    unsigned waiter_id = 0;
    Clock::duration waited{};
    std::thread waiter([&] {
        waiter_id = KmtGetCurrentThreadID();
        waiting.count_down();
        const auto start = Clock::now();
        rc = KmtGetLockEx(h, 0, 20000, &obtained);
        waited = Clock::now() - start;
        KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner_seen);
        if (obtained == 1) KmtReleaseLock(h);
    });
    waiting.wait();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    waiter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(obtained, 1);
    EXPECT_EQ(static_cast<unsigned>(owner_seen), waiter_id);
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockTimeouts, testing::Values(kTimeoutMutex, kBothOptionsMutex, kNamedTimeout),
                         kind_label);

// ---- abandoned locks -----------------------------------------------------------------

class KmtLockAbandoned : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockAbandoned, TheNextThreadTakesItOverAsASingleHold) {
    kez::test::Watchdog watchdog(60s, "abandoned lock");
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    int results[3] = {-1, -1, -1};
    unsigned dead = 0;
    std::thread([&] {
        int obtained = 0;
        results[0] = KmtGetLock(h);
        results[1] = KmtTryToGetLock(h, &obtained) == 0 && obtained == 1 ? 0 : -1;
        results[2] = KmtGetLockEx(h, 0, -1, &obtained) == 0 && obtained == 1 ? 0 : -1;
        dead = KmtGetCurrentThreadID();
        // Ends holding it three times.
    }).join();
    ASSERT_EQ(results[0], 0);
    ASSERT_EQ(results[1], 0);
    ASSERT_EQ(results[2], 0);

    if (kind.timeouts()) {
        int obtained = -1;
        ASSERT_EQ(KmtGetLockEx(h, 0, 10000, &obtained), 0);
        ASSERT_EQ(obtained, 1) << "a lock whose holder ended was not taken over";
    } else {
        ASSERT_EQ(KmtGetLock(h), 0);
    }
    EXPECT_EQ(owner_of(h), KmtGetCurrentThreadID());
    EXPECT_NE(owner_of(h), dead);
    EXPECT_FALSE(free_for_others(h));
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST_P(KmtLockAbandoned, TryingAlsoTakesItOver) {
    kez::test::Watchdog watchdog(60s, "abandoned lock, tried");
    KmtLockHandle h = new_lock(GetParam());
    int rc = -1;
    std::thread([&] {
        rc = KmtGetLock(h);
        if (rc == 0) rc = KmtGetLock(h);
    }).join();
    ASSERT_EQ(rc, 0);
    int obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), 0);
    ASSERT_EQ(obtained, 1);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockAbandoned,
                         testing::Values(kEventsMutex, kTimeoutMutex, kBothOptionsMutex, kNamed, kNamedTimeout),
                         kind_label);

// ---- many threads on one lock -----------------------------------------------------

// Iterations a thread: a million where locks are cheap; the thread
// sanitizer slows every lock operation, and under Wine each wait on a kernel
// mutex is a round trip to the server.
int load_iterations(const Kind &kind) {
#if defined(_WIN32)
    return kind.named || kind.options != 0 ? 10000 : 200000;
#elif defined(KEZ_TEST_TSAN)
    (void)kind;
    return 100000;
#else
    (void)kind;
    return 1000000;
#endif
}

class KmtLockLoad : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockLoad, EightThreadsKeepAnExactCount) {
    kez::test::Watchdog watchdog(600s, "eight threads on one lock");
    const Kind &kind = GetParam();
    KmtLockHandle h = new_lock(kind);
    constexpr int kThreads = 8;
    const int iterations = load_iterations(kind);
    long long count = 0;  // guarded by the lock alone
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    Latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            const unsigned me = KmtGetCurrentThreadID();
            start.arrive_and_wait();
            for (int i = 0; i < iterations; ++i) {
                if (KmtGetLock(h) != 0) {
                    failures.fetch_add(1);
                    continue;
                }
                // Relaxed on purpose: the lock alone must order `count`.
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlaps.fetch_add(1);
                ++count;
                if (i % 64 == 0) {
                    int obtained = 0;
                    int owner = 0;
                    if (KmtTryToGetLock(h, &obtained) != 0 || obtained != 1) failures.fetch_add(1);
                    if (KmtGetLockAttribute(h, ATTR_TL_OWNER_THREAD_ID, &owner) != 0 ||
                        static_cast<unsigned>(owner) != me)
                        failures.fetch_add(1);
                    if (KmtReleaseLock(h) != 0) failures.fetch_add(1);
                }
                inside.fetch_sub(1, std::memory_order_relaxed);
                if (KmtReleaseLock(h) != 0) failures.fetch_add(1);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(count, static_cast<long long>(kThreads) * iterations);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockLoad, testing::Values(kCriticalSection, kTimeoutMutex, kNamed), kind_label);

// ---- discarding a lock others wait for ------------------------------------------------

// A thread waits in a get function while the lock is discarded: it either
// gets the lock before the discard (and gives it back, letting the discard
// finish) or wakes with "invalid handle"; it never touches a freed lock.
class KmtLockDiscardRace : public testing::TestWithParam<Kind> {};

TEST_P(KmtLockDiscardRace, AWaiterWakesWithInvalidHandleOrGetsTheLockFirst) {
    kez::test::Watchdog watchdog(300s, "discard while waiting");
    const Kind &kind = GetParam();
    constexpr int kRounds = 40;
    int invalid = 0;
    for (int round = 0; round < kRounds; ++round) {
        KmtLockHandle h = new_lock(kind);
        // Even rounds: a third thread holds the lock while the discard
        // starts. Odd rounds: the discarding thread holds it and releases it
        // just before discarding.
        const bool third_party = round % 2 == 0;
        Latch held(1);
        Latch waiting(1);
        Latch discarding(1);
        std::thread holder;
        if (third_party) {
            holder = std::thread([&] {
                if (KmtGetLock(h) != 0) ADD_FAILURE() << "holder could not get the lock";
                held.count_down();
                discarding.wait();
                std::this_thread::sleep_for(5ms);
                if (KmtReleaseLock(h) != 0) ADD_FAILURE() << "holder could not release";
            });
        } else {
            EXPECT_EQ(KmtGetLock(h), 0);
            held.count_down();
        }
        held.wait();
        int waited = -1;
        int after = 0;
        std::thread waiter([&] {
            waiting.count_down();
            int obtained = -1;
            if (kind.timeouts() && round % 4 < 2) {
                waited = KmtGetLockEx(h, 0, 30000, &obtained);
                if (waited == 0 && obtained != 1) waited = -1;
            } else {
                waited = KmtGetLock(h);
            }
            if (waited == 0) after = KmtReleaseLock(h);
        });
        waiting.wait();
        std::this_thread::sleep_for(5ms);
        discarding.count_down();
        if (!third_party) {
            EXPECT_EQ(KmtReleaseLock(h), 0);
        }
        EXPECT_EQ(KmtDiscardLock(h), 0) << round;
        waiter.join();
        if (holder.joinable()) holder.join();
        EXPECT_TRUE(waited == 0 || waited == KMT_ERR_INVALID_HANDLE) << round << ": " << waited;
        EXPECT_EQ(after, 0) << round;
        if (waited == KMT_ERR_INVALID_HANDLE) ++invalid;
        EXPECT_EQ(KmtGetLock(h), KMT_ERR_INVALID_HANDLE) << round;
    }
    RecordProperty("waiters_refused", invalid);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KmtLockDiscardRace, testing::Values(kCriticalSection, kTimeoutMutex, kNamedTimeout),
                         kind_label);

// ---- named locks -----------------------------------------------------------------------

TEST(KmtNamedLocks, TwoLocksOfOneNameShareOneMutex) {
    kez::test::Watchdog watchdog(60s, "named locks in one process");
    const std::string name = unique_name("shared");
    KmtLockHandle a = nullptr;
    KmtLockHandle b = nullptr;
    KmtLockHandle c = nullptr;
    KmtLockHandle other = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &a), 0);
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &b), 0);
    ASSERT_EQ(KmtNewLock(name.c_str(), 0, &c), 0);
    ASSERT_EQ(KmtNewLock((name + "-other").c_str(), OPT_TL_SUPPORT_TIMEOUT, &other), 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str()));

    ASSERT_EQ(KmtGetLock(a), 0);
    struct Seen {
        int rc_b = -1, obtained_b = -1;
        int rc_c = -1, obtained_c = -1;
        int rc_other = -1, obtained_other = -1;
    };
    auto look = [&] {
        return on_other_thread([&] {
            Seen s;
            s.rc_b = KmtGetLockEx(b, 0, 0, &s.obtained_b);
            if (s.obtained_b == 1) KmtReleaseLock(b);
            s.rc_c = KmtTryToGetLock(c, &s.obtained_c);
            if (s.obtained_c == 1) KmtReleaseLock(c);
            s.rc_other = KmtGetLockEx(other, 0, 0, &s.obtained_other);
            if (s.obtained_other == 1) KmtReleaseLock(other);
            return s;
        });
    };
    Seen held = look();
    EXPECT_EQ(held.rc_b, 0);
    EXPECT_EQ(held.obtained_b, 0);
    EXPECT_EQ(held.rc_c, 0);
    EXPECT_EQ(held.obtained_c, 0);
    EXPECT_EQ(held.rc_other, 0);
    EXPECT_EQ(held.obtained_other, 1);  // another name is another mutex
    EXPECT_EQ(KmtReleaseLock(a), 0);

    Seen freed = look();
    EXPECT_EQ(freed.obtained_b, 1);
    EXPECT_EQ(freed.obtained_c, 1);

    // Discarding one of them leaves the others working, still shared.
    EXPECT_EQ(KmtDiscardLock(a), 0);
    ASSERT_EQ(KmtGetLock(b), 0);
    held = look();
    EXPECT_EQ(held.obtained_c, 0);
    EXPECT_EQ(KmtReleaseLock(b), 0);
    freed = look();
    EXPECT_EQ(freed.obtained_c, 1);
    EXPECT_EQ(KmtDiscardLock(b), 0);
    EXPECT_TRUE(kez::os::named_mutex_exists(name.c_str())) << "the mutex went away while a lock still named it";
    EXPECT_EQ(KmtDiscardLock(c), 0);
    EXPECT_EQ(KmtDiscardLock(other), 0);
    // The last lock of a name takes the system object with it.
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));
    EXPECT_FALSE(kez::os::named_mutex_exists((name + "-other").c_str()));
}

// The helper program opens the named lock in a process of its own.
// Exit codes: 10 obtained, 11 not obtained, others a failure (see the helper).
int run_helper(const std::string &name, const char *mode, const char *argument = nullptr) {
    const char *args[] = {name.c_str(), mode, argument, nullptr};
    int exit_code = -1;
    if (!kez::os::process_run(KEZ_NAMED_LOCK_HELPER, args, 60000, &exit_code)) return -1;
    return exit_code;
}

TEST(KmtNamedLocks, ANamedLockIsSharedWithAnotherProcess) {
    kez::test::Watchdog watchdog(300s, "named lock between processes");
    const std::string name = unique_name("process");
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);

    ASSERT_EQ(KmtGetLock(h), 0);
    EXPECT_EQ(run_helper(name, "try"), 11) << "the other process got a lock this one holds";
    EXPECT_EQ(run_helper(name, "wait", "200"), 11);
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(run_helper(name, "try"), 10) << "the other process could not get a free lock";
    EXPECT_EQ(KmtDiscardLock(h), 0);
    EXPECT_FALSE(kez::os::named_mutex_exists(name.c_str()));
}

TEST(KmtNamedLocks, ALockLeftHeldByAnEndedProcessIsTakenOver) {
    kez::test::Watchdog watchdog(300s, "named lock abandoned by a process");
    const std::string name = unique_name("abandoned");
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    // The other process ends normally, still holding the lock twice.
    EXPECT_EQ(run_helper(name, "abandon"), 10);
    int obtained = -1;
    EXPECT_EQ(KmtGetLockEx(h, 0, 10000, &obtained), 0);
    ASSERT_EQ(obtained, 1) << "a lock left held by an ended process was not taken over";
    EXPECT_EQ(KmtReleaseLock(h), 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(run_helper(name, "try"), 10);
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

// ---- handles that are not locks ----------------------------------------------------------

TEST(KmtLockHandles, HandlesThatAreNotLiveLocksAreRefused) {
    KmtLockHandle live = new_lock(kTimeoutMutex);
    KmtTSVHandle tsv = nullptr;
    ASSERT_EQ(KmtNewTSV(64, &tsv), 0);
    std::uint64_t zeros[16] = {};
    const KmtLockHandle wild[] = {
        reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(1)),
        reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(0x1000)),
        static_cast<KmtLockHandle>(zeros),
        static_cast<KmtLockHandle>(static_cast<char *>(live) + 8),
        static_cast<KmtLockHandle>(static_cast<char *>(live) + 4),
        static_cast<KmtLockHandle>(tsv),
    };
    for (KmtLockHandle w : wild) {
        EXPECT_EQ(KmtGetLock(w), KMT_ERR_INVALID_HANDLE) << w;
        int obtained = -1;
        EXPECT_EQ(KmtGetLockEx(w, 0, 0, &obtained), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(obtained, 0) << w;
        obtained = -1;
        EXPECT_EQ(KmtTryToGetLock(w, &obtained), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(obtained, 0) << w;
        EXPECT_EQ(KmtReleaseLock(w), KMT_ERR_INVALID_HANDLE) << w;
        int owner = 7;
        EXPECT_EQ(KmtGetLockAttribute(w, ATTR_TL_OWNER_THREAD_ID, &owner), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(owner, 7) << w;
        EXPECT_EQ(KmtDiscardLock(w), KMT_ERR_INVALID_HANDLE) << w;
    }
    // Memory that merely looks like a lock: only calls that cannot crash on a
    // look-alike are made, so a wrong answer shows as a failure.
    std::uint32_t forged[32] = {};
    for (std::uint32_t &word : forged) word = kBadMarkerWord;
    auto heap_forged = std::make_unique<std::uint32_t[]>(32);
    heap_forged[0] = kBadMarkerWord;
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
    EXPECT_EQ(KmtGetLockEx(reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(1)), 0, 0, nullptr),
              KMT_ERR_INVALID_PARAMETER);

    // The real lock was not disturbed by any of it.
    EXPECT_EQ(KmtGetLock(live), 0);
    EXPECT_EQ(KmtReleaseLock(live), 0);
    EXPECT_EQ(KmtDiscardLock(live), 0);
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

// ---- system failures -------------------------------------------------------------------

std::string kmt_message(int code) {
    char buffer[256] = {};
    EXPECT_EQ(KmtGetErrorMessage(code, buffer), 0);
    return buffer;
}

TEST(KmtLockFailures, AMutexTheSystemRefusesGivesSystemErrorAndNoHandle) {
    char denied[256];
    kez::os::error_text(kez::os::kAccessDenied, denied, sizeof denied);
    const std::string name = unique_name("refused");
    for (const char *n : {static_cast<const char *>(nullptr), name.c_str()}) {
        KmtLockHandle sentinel = reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(0x5EED));
        KmtLockHandle h = sentinel;
        KezTest_ArmFault("os.user_mutex_open", 1);
        EXPECT_EQ(KmtNewLock(n, OPT_TL_SUPPORT_TIMEOUT, &h), KMT_ERR_SYSTEM_ERROR);
        EXPECT_EQ(h, sentinel);
        EXPECT_EQ(kmt_message(KMT_ERR_SYSTEM_ERROR), denied);
    }
    // The name was not left half-made: it opens normally now.
    KmtLockHandle h = nullptr;
    ASSERT_EQ(KmtNewLock(name.c_str(), OPT_TL_SUPPORT_TIMEOUT, &h), 0);
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST(KmtLockFailures, AFailedWaitTakesNothing) {
    KmtLockHandle h = new_lock(kTimeoutMutex);
    int obtained = -1;
    KezTest_ArmFault("os.user_mutex_wait", 1);
    EXPECT_EQ(KmtGetLockEx(h, 0, 100, &obtained), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(obtained, 0);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    KezTest_ArmFault("os.user_mutex_wait", 1);
    obtained = -1;
    EXPECT_EQ(KmtTryToGetLock(h, &obtained), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(obtained, 0);
    KezTest_ArmFault("os.user_mutex_wait", 1);
    EXPECT_EQ(KmtGetLock(h), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(owner_of(h), 0u);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_TRUE(free_for_others(h));
    EXPECT_EQ(KmtDiscardLock(h), 0);
}

TEST(KmtLockFailures, AFailedCloseStillEndsTheLock) {
    KmtLockHandle h = new_lock(kTimeoutMutex);
    KezTest_ArmFault("os.user_mutex_close", 1);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_SYSTEM_ERROR);
    EXPECT_EQ(KmtGetLock(h), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtDiscardLock(h), KMT_ERR_INVALID_HANDLE);
}

// ---- the _UP_ twins and the log ----------------------------------------------------------

TEST(KmtLockTwins, ErrorsAreReportedWithTheLockMessages) {
    char function[128];
    char text[512];
    EXPECT_EQ(_UP_KmtReleaseLock(reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(1))),
              KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_HANDLE);
    EXPECT_STREQ(function, "KmtReleaseLock");
    EXPECT_STREQ(text, "Invalid handle.");

    KmtLockHandle h = new_lock(kCriticalSection);
    ASSERT_EQ(_UP_KmtGetLock(h), 0);
    EXPECT_EQ(_UP_KmtDiscardLock(h), KMT_ERR_LOCK_HELD);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_LOCK_HELD);
    EXPECT_STREQ(function, "KmtDiscardLock");
    EXPECT_STREQ(text, "You cannot discard a lock that is still owned.");
    EXPECT_EQ(_UP_KmtReleaseLock(h), 0);
    EXPECT_EQ(_UP_KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_STREQ(text, "You must get the lock before releasing it.");
    EXPECT_EQ(_UP_KmtDiscardLock(h), 0);
}

TEST(KmtLockTwins, EveryErrorIsLoggedAsAWarning) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    KmtLockHandle h = new_lock(kCriticalSection);
    EXPECT_EQ(KmtReleaseLock(h), KMT_ERR_LOCK_NOT_HELD);
    EXPECT_EQ(KmtGetLock(reinterpret_cast<KmtLockHandle>(static_cast<std::uintptr_t>(1))), KMT_ERR_INVALID_HANDLE);
    ASSERT_EQ(KmtGetLock(h), 0);  // successes log nothing
    ASSERT_EQ(KmtReleaseLock(h), 0);
    ASSERT_EQ(KmtDiscardLock(h), 0);
    const auto lines = tap.since_mark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 16u);
    EXPECT_EQ(lines[0].text, "Err = -14932");
    EXPECT_EQ(lines[1].level, 16u);
    EXPECT_EQ(lines[1].text, "Err = -14901");
}

}  // namespace
