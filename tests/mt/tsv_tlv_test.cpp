// Thread-safe variables (a block behind its own recursive lock) and
// thread-local variables (a block a thread, handed to a callback before it is
// freed) of the multithreading library.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "support/latch.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"


namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kTsvMarkerWord = 0x0BADF00Fu;

using kez::test::Latch;

template <class Fn>
auto on_other_thread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

// ---- thread-safe variables: creation and handles --------------------------------

TEST(KmtTsv, BadSizesAndNullOutPointersAreRefused) {
    const KmtTSVHandle sentinel = reinterpret_cast<KmtTSVHandle>(static_cast<std::uintptr_t>(0x5EED));
    for (int size : {0, -1, INT_MIN}) {
        KmtTSVHandle h = sentinel;
        EXPECT_EQ(KmtNewTSV(size, &h), KMT_ERR_INVALID_PARAMETER) << size;
        EXPECT_EQ(h, sentinel) << size;
    }
    EXPECT_EQ(KmtNewTSV(16, nullptr), KMT_ERR_INVALID_PARAMETER);

    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(16, &h), 0);
    EXPECT_EQ(KmtGetTSVPtr(h, nullptr), KMT_ERR_INVALID_PARAMETER);
    // The refused call took no hold.
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

TEST(KmtTsv, ABlockStartsZeroFilledAndKeepsItsAddress) {
    KmtTSVHandle one = nullptr;
    KmtTSVHandle big = nullptr;
    ASSERT_EQ(KmtNewTSV(1, &one), 0);
    ASSERT_EQ(KmtNewTSV(100000, &big), 0);
    EXPECT_NE(one, big);
    unsigned char *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(one, &p), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 0);
    p[0] = 0x5A;
    ASSERT_EQ(KmtReleaseTSVPtr(one), 0);

    unsigned char *q = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(big, &q), 0);
    ASSERT_NE(q, nullptr);
    EXPECT_NE(q, p);
    EXPECT_EQ(std::count(q, q + 100000, 0), 100000);
    std::memset(q, 0xC3, 100000);
    ASSERT_EQ(KmtReleaseTSVPtr(big), 0);

    // Another thread sees the same block with what was written.
    struct Seen {
        unsigned char *p = nullptr;
        unsigned char first = 0;
        unsigned char last = 0;
    };
    const Seen seen = on_other_thread([big] {
        Seen s;
        if (KmtGetTSVPtr(big, &s.p) == 0) {
            s.first = s.p[0];
            s.last = s.p[99999];
            KmtReleaseTSVPtr(big);
        }
        return s;
    });
    EXPECT_EQ(seen.p, q);
    EXPECT_EQ(seen.first, 0xC3);
    EXPECT_EQ(seen.last, 0xC3);
    unsigned char *again = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(one, &again), 0);
    EXPECT_EQ(again, p);
    EXPECT_EQ(again[0], 0x5A);
    ASSERT_EQ(KmtReleaseTSVPtr(one), 0);
    EXPECT_EQ(KmtDiscardTSV(one), 0);
    EXPECT_EQ(KmtDiscardTSV(big), 0);
}

TEST(KmtTsv, HandlesThatAreNotLiveVariablesAreRefused) {
    KmtTSVHandle live = nullptr;
    ASSERT_EQ(KmtNewTSV(32, &live), 0);
    KmtTSVHandle gone = nullptr;
    ASSERT_EQ(KmtNewTSV(32, &gone), 0);
    ASSERT_EQ(KmtDiscardTSV(gone), 0);
    KmtLockHandle lock = nullptr;
    ASSERT_EQ(KmtNewLock(nullptr, 0, &lock), 0);
    std::uint64_t zeros[16] = {};
    const unsigned char source[32] = {1, 2, 3};
    const KmtTSVHandle wild[] = {
        gone,
        reinterpret_cast<KmtTSVHandle>(static_cast<std::uintptr_t>(1)),
        static_cast<KmtTSVHandle>(zeros),
        static_cast<KmtTSVHandle>(static_cast<char *>(live) + 8),
        static_cast<KmtTSVHandle>(lock),
        nullptr,
    };
    for (KmtTSVHandle w : wild) {
        void *p = &zeros;
        EXPECT_EQ(KmtGetTSVPtr(w, &p), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(p, static_cast<void *>(&zeros)) << w;
        EXPECT_EQ(KmtReleaseTSVPtr(w), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(KmtSetTSV(w, source), KMT_ERR_INVALID_HANDLE) << w;
        if (w != nullptr) {
            EXPECT_EQ(KmtDiscardTSV(w), KMT_ERR_INVALID_HANDLE) << w;
        }
    }
    EXPECT_EQ(KmtDiscardTSV(nullptr), 0);
    // Memory that only looks like a variable: a release cannot crash on a
    // look-alike, so a wrong answer shows as a failure.
    std::uint32_t forged[32];
    for (std::uint32_t &word : forged) word = kTsvMarkerWord;
    EXPECT_EQ(KmtReleaseTSVPtr(static_cast<KmtTSVHandle>(forged)), KMT_ERR_INVALID_HANDLE);

    // The live ones were not disturbed.
    unsigned char *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(live, &p), 0);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(KmtReleaseTSVPtr(live), 0);
    EXPECT_EQ(KmtDiscardTSV(live), 0);
    EXPECT_EQ(KmtDiscardLock(lock), 0);
}

// ---- thread-safe variables: holds ---------------------------------------------------

// Starts a thread that gets the variable's pointer, notes when it has it,
// and gives it back when told.
class Getter {
public:
    explicit Getter(KmtTSVHandle h) : h_(h) {
        thread_ = std::thread([this] {
            rc_ = KmtGetTSVPtr(h_, &p_);
            got_.store(true);
            done_.wait();
            if (rc_ == 0) release_rc_ = KmtReleaseTSVPtr(h_);
        });
    }
    ~Getter() { finish(); }
    bool got() const { return got_.load(); }
    void wait_got() {
        while (!got_.load()) std::this_thread::sleep_for(1ms);
    }
    void finish() {
        if (thread_.joinable()) {
            done_.count_down();
            thread_.join();
        }
    }
    int rc() const { return rc_; }
    int release_rc() const { return release_rc_; }
    void *p() const { return p_; }

private:
    KmtTSVHandle h_;
    std::atomic<bool> got_{false};
    Latch done_{1};
    int rc_ = -1;
    int release_rc_ = -1;
    void *p_ = nullptr;
    std::thread thread_;
};

TEST(KmtTsv, EveryGetNeedsItsOwnReleaseBeforeAnotherThreadGetsIn) {
    kez::test::Watchdog watchdog(60s, "thread-safe variable holds");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    void *first = nullptr;
    void *second = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &first), 0);
    ASSERT_EQ(KmtGetTSVPtr(h, &second), 0);
    EXPECT_EQ(first, second);
    Getter getter(h);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(getter.got());
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(getter.got()) << "one release let another thread in while a hold remained";
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    getter.wait_got();
    EXPECT_EQ(getter.rc(), 0);
    EXPECT_EQ(getter.p(), first);
    // Now the other thread holds it: this one has nothing to release.
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    getter.finish();
    EXPECT_EQ(getter.release_rc(), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

TEST(KmtTsv, AReleaseFromAnotherThreadIsRefusedAndTheHoldStays) {
    kez::test::Watchdog watchdog(60s, "thread-safe variable foreign release");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    void *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    EXPECT_EQ(on_other_thread([h] { return KmtReleaseTSVPtr(h); }), KMT_ERR_TSV_NOT_OWNED);
    Getter getter(h);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(getter.got()) << "a refused release let another thread in";
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    getter.wait_got();
    EXPECT_EQ(getter.rc(), 0);
    getter.finish();
    EXPECT_EQ(getter.release_rc(), 0);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

struct Triple {
    std::int64_t a;
    std::int64_t b;
    std::int64_t c;
};

Triple read_tsv(KmtTSVHandle h) {
    Triple *p = nullptr;
    Triple t{-1, -1, -1};
    if (KmtGetTSVPtr(h, &p) == 0) {
        t = *p;
        KmtReleaseTSVPtr(h);
    }
    return t;
}

TEST(KmtTsv, SetCopiesTheWholeValueWithoutLeavingAHold) {
    kez::test::Watchdog watchdog(60s, "thread-safe variable set");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(sizeof(Triple), &h), 0);
    const Triple one{1, 2, 3};
    EXPECT_EQ(KmtSetTSV(h, &one), 0);
    const Triple seen = read_tsv(h);
    EXPECT_EQ(seen.a, 1);
    EXPECT_EQ(seen.b, 2);
    EXPECT_EQ(seen.c, 3);
    // A set is no get: there is nothing to release, and the variable is free.
    EXPECT_EQ(KmtSetTSV(h, &one), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(on_other_thread([h] { return read_tsv(h).c; }), 3);

    // The holder may set (the lock is recursive); its hold count is unchanged.
    Triple *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    const Triple two{4, 5, 6};
    EXPECT_EQ(KmtSetTSV(h, &two), 0);
    EXPECT_EQ(p->b, 5);
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);

    // Another thread's set waits for the holder.
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    std::atomic<bool> set_done{false};
    int set_rc = -1;
    std::thread setter([&] {
        const Triple three{7, 8, 9};
        set_rc = KmtSetTSV(h, &three);
        set_done.store(true);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(set_done.load()) << "a set went through while another thread held the variable";
    EXPECT_EQ(p->a, 4);
    p->a = 40;
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    setter.join();
    EXPECT_EQ(set_rc, 0);
    const Triple last = read_tsv(h);
    EXPECT_EQ(last.a, 7);
    EXPECT_EQ(last.c, 9);
    // The setter left no hold behind either.
    EXPECT_EQ(on_other_thread([h] { return read_tsv(h).b; }), 8);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

TEST(KmtTsv, DiscardWaitsForTheHolder) {
    kez::test::Watchdog watchdog(60s, "thread-safe variable discard");
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &h), 0);
    void *p = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &p), 0);
    std::atomic<bool> discarded{false};
    int discard_rc = -1;
    std::thread discarder([&] {
        discard_rc = KmtDiscardTSV(h);
        discarded.store(true);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(discarded.load()) << "the variable was discarded while held";
    std::memset(p, 0x77, 8);  // still ours
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    discarder.join();
    EXPECT_EQ(discard_rc, 0);
    EXPECT_EQ(KmtGetTSVPtr(h, &p), KMT_ERR_INVALID_HANDLE);
}

// A thread waits in KmtGetTSVPtr while the variable is discarded: it gets
// the pointer before the discard (and gives it back) or wakes with
// "invalid handle"; it never touches the freed variable.
TEST(KmtTsv, AWaiterOfADiscardedVariableWakesWithInvalidHandleOrGetsItFirst) {
    kez::test::Watchdog watchdog(300s, "thread-safe variable discard while waiting");
    constexpr int kRounds = 60;
    int invalid = 0;
    for (int round = 0; round < kRounds; ++round) {
        KmtTSVHandle h = nullptr;
        ASSERT_EQ(KmtNewTSV(64, &h), 0);
        // Even rounds: a third thread holds the variable while the discard
        // starts. Odd rounds: the discarding thread holds it and releases it
        // just before discarding.
        const bool third_party = round % 2 == 0;
        Latch held(1);
        Latch waiting(1);
        Latch discarding(1);
        int hold_rc = -1;
        int hold_release = -1;
        std::thread holder;
        if (third_party) {
            holder = std::thread([&] {
                void *p = nullptr;
                hold_rc = KmtGetTSVPtr(h, &p);
                held.count_down();
                discarding.wait();
                std::this_thread::sleep_for(5ms);
                if (hold_rc == 0) hold_release = KmtReleaseTSVPtr(h);
            });
        } else {
            void *p = nullptr;
            hold_rc = KmtGetTSVPtr(h, &p);
            held.count_down();
        }
        held.wait();
        int waited = -1;
        int after = 0;
        std::thread waiter([&] {
            waiting.count_down();
            char *p = nullptr;
            waited = KmtGetTSVPtr(h, &p);
            if (waited == 0) {
                p[63] = 1;  // the block is alive while held
                after = KmtReleaseTSVPtr(h);
            }
        });
        waiting.wait();
        std::this_thread::sleep_for(5ms);
        discarding.count_down();
        if (!third_party && hold_rc == 0) hold_release = KmtReleaseTSVPtr(h);
        EXPECT_EQ(KmtDiscardTSV(h), 0) << round;
        waiter.join();
        if (holder.joinable()) holder.join();
        EXPECT_EQ(hold_rc, 0) << round;
        EXPECT_EQ(hold_release, 0) << round;
        EXPECT_TRUE(waited == 0 || waited == KMT_ERR_INVALID_HANDLE) << round << ": " << waited;
        EXPECT_EQ(after, 0) << round;
        if (waited == KMT_ERR_INVALID_HANDLE) ++invalid;
    }
    RecordProperty("waiters_refused", invalid);
}

// As for locks: the thread sanitizer and Wine make each operation costly.
int tsv_load_iterations() {
#if defined(_WIN32) || defined(KEZ_TEST_TSAN)
    return 100000;
#else
    return 1000000;
#endif
}

TEST(KmtTsv, EightThreadsKeepAnExactCount) {
    kez::test::Watchdog watchdog(600s, "eight threads on one thread-safe variable");
    struct Counter {
        std::int64_t count;
        std::int64_t shadow;
    };
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(KmtNewTSV(sizeof(Counter), &h), 0);
    constexpr int kThreads = 8;
    const int iterations = tsv_load_iterations();
    std::atomic<int> failures{0};
    Latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < iterations; ++i) {
                Counter *c = nullptr;
                if (KmtGetTSVPtr(h, &c) != 0) {
                    failures.fetch_add(1);
                    continue;
                }
                const std::int64_t before = c->count;
                if (i % 64 == 0) {
                    Counter *again = nullptr;
                    if (KmtGetTSVPtr(h, &again) != 0 || again != c) failures.fetch_add(1);
                    if (KmtReleaseTSVPtr(h) != 0) failures.fetch_add(1);
                }
                c->count = before + 1;
                c->shadow = -c->count;
                if (KmtReleaseTSVPtr(h) != 0) failures.fetch_add(1);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    Counter *c = nullptr;
    ASSERT_EQ(KmtGetTSVPtr(h, &c), 0);
    EXPECT_EQ(c->count, static_cast<std::int64_t>(kThreads) * iterations);
    EXPECT_EQ(c->shadow, -c->count);
    EXPECT_EQ(KmtReleaseTSVPtr(h), 0);
    EXPECT_EQ(KmtDiscardTSV(h), 0);
}

// ---- thread-local variables: creation and handles -------------------------------------

TEST(KmtTlv, BadArgumentsAreRefused) {
    KmtTLVHandle h = 12345;
    EXPECT_EQ(KmtNewThreadLocalVar(0, nullptr, nullptr, nullptr, &h), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtNewThreadLocalVar(-1, nullptr, nullptr, nullptr, &h), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtNewThreadLocalVar(INT_MIN, nullptr, nullptr, nullptr, &h), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(h, 12345);
    EXPECT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, nullptr), KMT_ERR_INVALID_PARAMETER);
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_GT(h, 0);
    EXPECT_EQ(KmtGetThreadLocalVar(h, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
}

TEST(KmtTlv, HandlesThatAreNotLiveVariablesAreRefused) {
    KmtTLVHandle gone = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &gone), 0);
    int *value = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(gone, &value), 0);
    ASSERT_EQ(KmtDiscardThreadLocalVar(gone), 0);
    for (KmtTLVHandle w : {gone, -1, -64, 100000, INT_MAX, INT_MIN}) {
        void *p = &value;
        EXPECT_EQ(KmtGetThreadLocalVar(w, &p), KMT_ERR_INVALID_HANDLE) << w;
        EXPECT_EQ(p, static_cast<void *>(&value)) << w;
        EXPECT_EQ(KmtDiscardThreadLocalVar(w), KMT_ERR_INVALID_HANDLE) << w;
    }
    void *p = nullptr;
    EXPECT_EQ(KmtGetThreadLocalVar(0, &p), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtDiscardThreadLocalVar(0), 0);
}

TEST(KmtTlv, TheLowestFreeIndexIsTakenAgain) {
    KmtTLVHandle a = 0;
    KmtTLVHandle b = 0;
    KmtTLVHandle c = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &a), 0);
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &b), 0);
    EXPECT_GT(b, a);
    ASSERT_EQ(KmtDiscardThreadLocalVar(a), 0);
    ASSERT_EQ(KmtNewThreadLocalVar(4, nullptr, nullptr, nullptr, &c), 0);
    EXPECT_EQ(c, a);
    EXPECT_EQ(KmtDiscardThreadLocalVar(b), 0);
    EXPECT_EQ(KmtDiscardThreadLocalVar(c), 0);
}

// ---- thread-local variables: values -------------------------------------------------

TEST(KmtTlv, EachThreadStartsFromTheInitialValueAtItsFirstAccess) {
    kez::test::Watchdog watchdog(60s, "thread-local initial values");
    Latch created(1);
    struct Seen {
        int rc = -1;
        unsigned char bytes[48] = {};
        void *p = nullptr;
    };
    KmtTLVHandle h = 0;
    KmtTLVHandle zeroed = 0;
    auto look = [&] {
        Seen s;
        unsigned char *p = nullptr;
        s.rc = KmtGetThreadLocalVar(h, &p);
        if (s.rc == 0) {
            std::memcpy(s.bytes, p, sizeof s.bytes);
            s.p = p;
            std::memset(p, 0xEE, sizeof s.bytes);  // the thread's own copy
            unsigned char *again = nullptr;
            if (KmtGetThreadLocalVar(h, &again) != 0 || again != p) s.rc = -2;
            unsigned char *z = nullptr;
            if (KmtGetThreadLocalVar(zeroed, &z) != 0 || std::count(z, z + 5000, 0) != 5000) s.rc = -3;
        }
        return s;
    };
    // A thread that exists before the variable does.
    Seen early_seen;
    std::thread early([&] {
        created.wait();
        early_seen = look();
    });

    unsigned char initial[48];
    for (int i = 0; i < 48; ++i) initial[i] = static_cast<unsigned char>(i * 5 + 1);
    ASSERT_EQ(KmtNewThreadLocalVar(48, initial, nullptr, nullptr, &h), 0);
    ASSERT_EQ(KmtNewThreadLocalVar(5000, nullptr, nullptr, nullptr, &zeroed), 0);
    unsigned char expected[48];
    std::memcpy(expected, initial, 48);
    std::memset(initial, 0, 48);  // the variable keeps a copy

    const Seen mine = look();
    created.count_down();
    early.join();
    const Seen late_seen = on_other_thread(look);

    for (const Seen *s : {&mine, static_cast<const Seen *>(&early_seen), &late_seen}) {
        EXPECT_EQ(s->rc, 0);
        EXPECT_EQ(std::memcmp(s->bytes, expected, 48), 0);
    }
    unsigned char *p = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(h, &p), 0);
    EXPECT_EQ(p, mine.p);
    EXPECT_EQ(p[0], 0xEE);
    EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    EXPECT_EQ(KmtDiscardThreadLocalVar(zeroed), 0);
}

// Callbacks record what they are handed.
struct Call {
    int tag;
    int event;
    void *value;
    int content;
    unsigned thread;
    unsigned caller;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<Call> take() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
};

struct Tag {
    Recorder *recorder;
    int tag;
};

void record_call(void *value, int event, void *data, unsigned thread) {
    auto *tag = static_cast<Tag *>(data);
    std::lock_guard<std::mutex> guard(tag->recorder->mutex);
    tag->recorder->calls.push_back(
        {tag->tag, event, value, *static_cast<int *>(value), thread, KmtGetCurrentThreadID()});
}

TEST(KmtTlv, ArraysGrowPastEachBlockOf64Handles) {
    kez::test::Watchdog watchdog(120s, "thread-local arrays");
    constexpr int kVars = 130;
    Recorder recorder;
    std::vector<Tag> tags(kVars);
    std::vector<KmtTLVHandle> handles(kVars);
    for (int i = 0; i < kVars; ++i) {
        tags[static_cast<std::size_t>(i)] = {&recorder, i};
        const int initial = 1000 + i;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, record_call, &tags[static_cast<std::size_t>(i)],
                                       &handles[static_cast<std::size_t>(i)]),
                  0)
            << i;
    }
    // Handles are distinct and some lie beyond two blocks of 64.
    EXPECT_EQ(std::set<KmtTLVHandle>(handles.begin(), handles.end()).size(), static_cast<std::size_t>(kVars));
    ASSERT_GT(*std::max_element(handles.begin(), handles.end()), 128);
    auto index_of = [&](KmtTLVHandle h) {
        return static_cast<int>(std::find(handles.begin(), handles.end(), h) - handles.begin());
    };
    const KmtTLVHandle lowest = *std::min_element(handles.begin(), handles.end());

    // A fresh thread whose first access is a handle at a block boundary, then
    // one of the first block: both values are its own and distinct.
    for (KmtTLVHandle boundary : {64, 65, 128, 129}) {
        if (index_of(boundary) == kVars) continue;
        int failures = on_other_thread([&] {
            int f = 0;
            int *b = nullptr;
            int *low = nullptr;
            if (KmtGetThreadLocalVar(boundary, &b) != 0 || *b != 1000 + index_of(boundary)) ++f;
            *b = -boundary;
            if (KmtGetThreadLocalVar(lowest, &low) != 0 || low == b || *low != 1000 + index_of(lowest)) ++f;
            *low = -1;
            int *again = nullptr;
            if (KmtGetThreadLocalVar(boundary, &again) != 0 || again != b || *again != -boundary) ++f;
            return f;
        });
        EXPECT_EQ(failures, 0) << boundary;
        std::vector<Call> calls;
        {
            std::lock_guard<std::mutex> guard(recorder.mutex);
            calls.swap(recorder.calls);
        }
        ASSERT_EQ(calls.size(), 2u) << boundary;
        EXPECT_EQ(handles[static_cast<std::size_t>(calls[0].tag)], lowest) << boundary;
        EXPECT_EQ(calls[0].content, -1) << boundary;
        EXPECT_EQ(handles[static_cast<std::size_t>(calls[1].tag)], boundary) << boundary;
        EXPECT_EQ(calls[1].content, -boundary) << boundary;
        EXPECT_EQ(calls[1].event, EVENT_TLV_DISCARD_THREAD_ENDING) << boundary;
    }

    // One thread reaches every variable, its first value surviving the growth
    // of its array, and ends: one call a value, in handle order.
    std::vector<int *> values(kVars, nullptr);
    unsigned ender = 0;
    const int failures = on_other_thread([&] {
        int f = 0;
        ender = KmtGetCurrentThreadID();
        const int low = index_of(lowest);
        if (KmtGetThreadLocalVar(lowest, &values[static_cast<std::size_t>(low)]) != 0) return 1;
        *values[static_cast<std::size_t>(low)] = 777;
        for (int i = 0; i < kVars; ++i) {
            int *p = nullptr;
            if (KmtGetThreadLocalVar(handles[static_cast<std::size_t>(i)], &p) != 0) {
                ++f;
                continue;
            }
            if (i == low) {
                if (p != values[static_cast<std::size_t>(i)] || *p != 777) ++f;
            } else {
                if (*p != 1000 + i) ++f;
                values[static_cast<std::size_t>(i)] = p;
                *p = 2000 + i;
            }
        }
        return f;
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(std::set<int *>(values.begin(), values.end()).size(), static_cast<std::size_t>(kVars));
    const std::vector<Call> calls = recorder.take();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kVars));
    KmtTLVHandle previous = 0;
    for (const Call &call : calls) {
        const KmtTLVHandle h = handles[static_cast<std::size_t>(call.tag)];
        EXPECT_GT(h, previous) << "values of an ending thread were not handed over in handle order";
        previous = h;
        EXPECT_EQ(call.event, EVENT_TLV_DISCARD_THREAD_ENDING);
        EXPECT_EQ(call.thread, ender);
        EXPECT_EQ(call.caller, ender);
        EXPECT_EQ(call.value, values[static_cast<std::size_t>(call.tag)]);
        EXPECT_EQ(call.content, h == lowest ? 777 : 2000 + call.tag);
    }
    // No thread has values left: discarding calls nothing.
    for (KmtTLVHandle h : handles) EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    EXPECT_EQ(recorder.take().size(), static_cast<std::size_t>(kVars));
}

TEST(KmtTlv, DiscardHandsEveryLiveThreadsValueToTheCallback) {
    kez::test::Watchdog watchdog(60s, "thread-local discard");
    Recorder recorder;
    Tag tag{&recorder, 1};
    KmtTLVHandle h = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, record_call, &tag, &h), 0);
    constexpr int kUsers = 4;
    constexpr int kIdle = 2;
    Latch ready(kUsers + kIdle);
    Latch discarded(1);
    std::vector<unsigned> ids(kUsers);
    std::vector<int *> values(kUsers);
    std::vector<int> after(kUsers + kIdle, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kUsers + kIdle; ++t) {
        threads.emplace_back([&, t] {
            if (t < kUsers) {
                ids[static_cast<std::size_t>(t)] = KmtGetCurrentThreadID();
                if (KmtGetThreadLocalVar(h, &values[static_cast<std::size_t>(t)]) == 0)
                    *values[static_cast<std::size_t>(t)] = 100 + t;
            }
            ready.count_down();
            discarded.wait();
            void *p = nullptr;
            after[static_cast<std::size_t>(t)] = KmtGetThreadLocalVar(h, &p);
        });
    }
    int *mine = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(h, &mine), 0);
    *mine = 99;
    ready.wait();
    EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
    const std::vector<Call> calls = recorder.take();
    discarded.count_down();
    for (auto &t : threads) t.join();

    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kUsers + 1));
    std::set<unsigned> seen;
    for (const Call &call : calls) {
        EXPECT_EQ(call.event, EVENT_TLV_DISCARD_VAR_DISCARDED);
        EXPECT_EQ(call.tag, 1);
        EXPECT_EQ(call.caller, KmtGetCurrentThreadID());
        seen.insert(call.thread);
        if (call.thread == KmtGetCurrentThreadID()) {
            EXPECT_EQ(call.value, mine);
            EXPECT_EQ(call.content, 99);
            continue;
        }
        const auto it = std::find(ids.begin(), ids.end(), call.thread);
        ASSERT_NE(it, ids.end()) << "a call for a thread that never had a value";
        const auto t = static_cast<std::size_t>(it - ids.begin());
        EXPECT_EQ(call.value, values[t]);
        EXPECT_EQ(call.content, 100 + static_cast<int>(t));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kUsers + 1));
    for (int r : after) EXPECT_EQ(r, KMT_ERR_INVALID_HANDLE);
    // The ended threads' values had gone with the variable.
    EXPECT_EQ(recorder.take().size(), calls.size());
}

TEST(KmtTlv, AReusedIndexStartsAfreshInAThreadThatHadTheOldVariable) {
    kez::test::Watchdog watchdog(60s, "thread-local index reuse");
    KmtTLVHandle old_var = 0;
    const int old_initial = 1;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &old_initial, nullptr, nullptr, &old_var), 0);
    Latch used(1);
    Latch replaced(1);
    int seen = -1;
    int rc = -1;
    std::thread user([&] {
        int *p = nullptr;
        if (KmtGetThreadLocalVar(old_var, &p) == 0) *p = 0xAA;
        used.count_down();
        replaced.wait();
        int *q = nullptr;
        rc = KmtGetThreadLocalVar(old_var, &q);  // the same index, a new variable
        if (rc == 0) seen = *q;
    });
    used.wait();
    ASSERT_EQ(KmtDiscardThreadLocalVar(old_var), 0);
    KmtTLVHandle new_var = 0;
    const int new_initial = 42;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &new_initial, nullptr, nullptr, &new_var), 0);
    EXPECT_EQ(new_var, old_var);
    replaced.count_down();
    user.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(seen, 42);
    EXPECT_EQ(KmtDiscardThreadLocalVar(new_var), 0);
}

// A callback may use the library's other variables: the thread's later
// values are still there while an ending thread's callbacks run, and a
// discard does not keep other variables locked during its callbacks.
struct Nested {
    KmtTLVHandle other = 0;
    std::atomic<int> calls{0};
    int rc = -1;
    int content = -1;
};

void nested_call(void *, int, void *data, unsigned) {
    auto *n = static_cast<Nested *>(data);
    int *p = nullptr;
    n->rc = KmtGetThreadLocalVar(n->other, &p);
    n->content = n->rc == 0 ? *p : -1;
    n->calls.fetch_add(1);
}

TEST(KmtTlv, CallbacksMayUseOtherVariables) {
    kez::test::Watchdog watchdog(60s, "thread-local callbacks using variables");
    Nested nested;
    KmtTLVHandle first = 0;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, nested_call, &nested, &first), 0);
    const int initial = 5;
    ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), &initial, nullptr, nullptr, &nested.other), 0);
    ASSERT_LT(first, nested.other);
    std::thread([&] {
        int *p = nullptr;
        int *q = nullptr;
        if (KmtGetThreadLocalVar(nested.other, &q) == 0) *q = 66;
        if (KmtGetThreadLocalVar(first, &p) == 0) *p = 1;
    }).join();
    EXPECT_EQ(nested.calls.load(), 1);
    EXPECT_EQ(nested.rc, 0);
    EXPECT_EQ(nested.content, 66);

    int *mine = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(first, &mine), 0);
    int *other = nullptr;
    ASSERT_EQ(KmtGetThreadLocalVar(nested.other, &other), 0);
    *other = 77;
    EXPECT_EQ(KmtDiscardThreadLocalVar(first), 0);
    EXPECT_EQ(nested.calls.load(), 2);
    EXPECT_EQ(nested.rc, 0);
    EXPECT_EQ(nested.content, 77);
    EXPECT_EQ(KmtDiscardThreadLocalVar(nested.other), 0);
}

// Many threads end while their variable is discarded: every value reaches the
// callback exactly once, with event 1 when its thread's end came first and
// event 2 when the discard did, and is freed once (the sanitizers see a
// second free or a use after it).
struct RaceRound {
    static constexpr int kThreads = 16;
    std::atomic<int> seen[kThreads] = {};
    unsigned ids[kThreads] = {};
    std::atomic<int> bad{0};
    std::atomic<int> ending{0};
    std::atomic<int> discarded{0};
    unsigned discarder = 0;
};

void race_call(void *value, int event, void *data, unsigned thread) {
    auto *r = static_cast<RaceRound *>(data);
    const int slot = *static_cast<int *>(value);
    if (slot < 0 || slot >= RaceRound::kThreads) {
        r->bad.fetch_add(1);
        return;
    }
    r->seen[slot].fetch_add(1);
    if (thread != r->ids[slot]) r->bad.fetch_add(1);
    if (event == EVENT_TLV_DISCARD_THREAD_ENDING) {
        r->ending.fetch_add(1);
        if (KmtGetCurrentThreadID() != thread) r->bad.fetch_add(1);
    } else if (event == EVENT_TLV_DISCARD_VAR_DISCARDED) {
        r->discarded.fetch_add(1);
        if (KmtGetCurrentThreadID() != r->discarder) r->bad.fetch_add(1);
    } else {
        r->bad.fetch_add(1);
    }
    *static_cast<int *>(value) = -1;
}

// Each round starts and ends 16 threads: costly under Wine and under the
// thread sanitizer.
int race_rounds() {
#if defined(_WIN32)
    return 200;
#elif defined(KEZ_TEST_TSAN)
    return 250;
#else
    return 1000;
#endif
}

TEST(KmtTlv, DiscardRacingThreadEndsCallsEachValuesCallbackOnce) {
    kez::test::Watchdog watchdog(600s, "thread-local discard racing thread ends");
    const int rounds = race_rounds();
    int total_ending = 0;
    int total_discarded = 0;
    for (int round = 0; round < rounds; ++round) {
        RaceRound r;
        r.discarder = KmtGetCurrentThreadID();
        KmtTLVHandle h = 0;
        ASSERT_EQ(KmtNewThreadLocalVar(sizeof(int), nullptr, race_call, &r, &h), 0);
        Latch ready(RaceRound::kThreads);
        Latch go(1);
        std::vector<std::thread> threads;
        for (int t = 0; t < RaceRound::kThreads; ++t) {
            threads.emplace_back([&, t] {
                r.ids[t] = KmtGetCurrentThreadID();
                int *p = nullptr;
                if (KmtGetThreadLocalVar(h, &p) == 0)
                    *p = t;
                else
                    r.bad.fetch_add(1);
                ready.count_down();
                go.wait();
            });
        }
        ready.wait();
        go.count_down();
        if (round % 3 == 1) std::this_thread::yield();
        EXPECT_EQ(KmtDiscardThreadLocalVar(h), 0);
        for (auto &t : threads) t.join();
        int once = 0;
        for (const auto &s : r.seen) once += s.load() == 1 ? 1 : 0;
        ASSERT_EQ(once, RaceRound::kThreads) << "round " << round;
        ASSERT_EQ(r.bad.load(), 0) << "round " << round;
        ASSERT_EQ(r.ending.load() + r.discarded.load(), RaceRound::kThreads) << "round " << round;
        total_ending += r.ending.load();
        total_discarded += r.discarded.load();
    }
    RecordProperty("thread_end_first", total_ending);
    RecordProperty("discard_first", total_discarded);
}

// ---- the _UP_ twins ------------------------------------------------------------------

TEST(KmtTsvTlvTwins, ErrorsAreReportedWithTheirMessages) {
    char function[128];
    char text[512];
    KmtTSVHandle h = nullptr;
    ASSERT_EQ(_UP_KmtNewTSV(8, &h), 0);
    EXPECT_EQ(_UP_KmtReleaseTSVPtr(h), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_TSV_NOT_OWNED);
    EXPECT_STREQ(function, "KmtReleaseTSVPtr");
    EXPECT_STREQ(text, "You must release the thread safe variable from the same thread that got it.");
    EXPECT_EQ(_UP_KmtDiscardTSV(h), 0);
    EXPECT_EQ(_UP_KmtSetTSV(h, text), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_HANDLE);
    EXPECT_STREQ(function, "KmtSetTSV");
    EXPECT_STREQ(text, "Invalid handle.");

    void *p = nullptr;
    EXPECT_EQ(_UP_KmtGetThreadLocalVar(100000, &p), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_HANDLE);
    EXPECT_STREQ(function, "KmtGetThreadLocalVar");
    KmtTLVHandle tlv = 0;
    EXPECT_EQ(_UP_KmtNewThreadLocalVar(0, nullptr, nullptr, nullptr, &tlv), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KezTest_LastLibraryError(function, sizeof function, text, sizeof text), KMT_ERR_INVALID_PARAMETER);
    EXPECT_STREQ(function, "KmtNewThreadLocalVar");
    EXPECT_STREQ(text, "Invalid parameter.");
}

}  // namespace
