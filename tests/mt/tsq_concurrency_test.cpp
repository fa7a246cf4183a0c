// Thread-safe queues between threads: one reader and one writer at a time,
// waiting with and without a time-out, refusal and discard while a thread
// waits, resizes and flushing writes beside a reader, and producers and
// consumers moving numbered items under load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mt/tsq_test_util.h"
#include "support/sanitizers.h"

namespace {

using namespace kez::test::tsq;
using Clock = std::chrono::steady_clock;

constexpr auto kPrompt = std::chrono::seconds(10);  // generous: only a hang misses it

template <class Fn>
auto in_thread(Fn fn) {
    return std::async(std::launch::async, std::move(fn));
}
bool readers_are(KmtTSQHandle q, int n) {
    return eventually([&] { return readers(q) == n; });
}
bool writers_are(KmtTSQHandle q, int n) {
    return eventually([&] { return writers(q) == n; });
}

class TsqThreads : public TsqTest {};

TEST_F(TsqThreads, ASecondReaderOrWriterIsRefusedAtOnce) {
    // The first one holds its side through a pointer or by waiting in a
    // read of an empty queue or a write into a full one.
    for (bool read_side : {true, false}) {
        for (bool pointer : {true, false}) {
            SCOPED_TRACE(std::string(read_side ? "reader" : "writer") + (pointer ? " with a pointer" : " waiting"));
            Queue q(4, 4);
            const int full = read_side == pointer ? 4 : 0;
            ASSERT_EQ(put(q, 4, 0, full), full);
            std::promise<void> done;
            auto first = in_thread([&, f = done.get_future()]() mutable {
                void *p = nullptr;
                int n = 0;
                Bytes buf(4 * 4);
                if (!pointer)
                    return read_side ? KmtReadTSQData(q, buf.data(), 2, -1, 0) : put(q, 4, 10, 2, nullptr, -1);
                const int got = read_side ? KmtGetTSQReadPtr(q, &p, &n) : KmtGetTSQWritePtr(q, &p, &n);
                f.wait();
                return got == 0 ? (read_side ? KmtReleaseTSQReadPtr(q, 0) : KmtReleaseTSQWritePtr(q, 0)) : got;
            });
            ASSERT_TRUE(read_side ? readers_are(q, 1) : writers_are(q, 1));
            Bytes buf(4 * 4);
            void *p = nullptr;
            int n = 0;
            if (read_side) {
                EXPECT_EQ(KmtReadTSQData(q, buf.data(), 1, -1, 0), KMT_ERR_READING_IN_PROGRESS);
                EXPECT_EQ(KmtReadTSQData(q, buf.data(), 1, -1, TSQ_READ_OPT_PEEK), KMT_ERR_READING_IN_PROGRESS);
                EXPECT_EQ(KmtReadTSQData(q, buf.data(), 1, 0, 0), KMT_ERR_READING_IN_PROGRESS);
                EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_READING_IN_PROGRESS);
            } else {
                EXPECT_EQ(put(q, 4, 100, 1, nullptr, -1), KMT_ERR_WRITING_IN_PROGRESS);
                EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_WRITING_IN_PROGRESS);
            }
            done.set_value();
            // The other side is free: it ends a wait by bringing items or room.
            if (!pointer && read_side) {
                EXPECT_EQ(put(q, 4, 0, 2, nullptr, -1), 2);
            } else if (!pointer) {
                expect_items(q, 4, 0, 2, -1);
            }
            ASSERT_EQ(first.wait_for(kPrompt), std::future_status::ready);
            EXPECT_EQ(first.get(), pointer ? 0 : 2);
            EXPECT_EQ(readers(q) + writers(q), 0);
        }
    }
}

TEST_F(TsqThreads, WaitingReadsAndWritesTakeWhatComesAndTimeOutWithACount) {
    Queue q(4, 8);
    Bytes got(5 * 8, 0xEE);
    // Nothing comes: 0 items after the wait, not an error.
    auto start = Clock::now();
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 60, 0), 0);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 2, 60, TSQ_READ_OPT_PEEK), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));  // margin for a coarse tick
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 30, 0), 2);  // some comes: what came
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 16), items(8, 0, 2));
    // A write that does not fit writes what fits.
    start = Clock::now();
    EXPECT_EQ(put(q, 8, 10, 3), 3);
    EXPECT_EQ(put(q, 8, 13, 3, nullptr, 60), 1);
    EXPECT_EQ(put(q, 8, 14, 1, nullptr, 30), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
    expect_items(q, 8, 10, 4);

    // Without a limit a read waits for every item it asked for, as they come.
    auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 5, -1, 0); });
    for (std::uint32_t i = 0; i < 5; ++i) {
        kez::os::sleep_ms(2);
        ASSERT_EQ(put(q, 8, 20 + i, 1), 1);
    }
    ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(reader.get(), 5);
    EXPECT_EQ(got, items(8, 20, 5));
    // So does a peek, and it leaves them.
    auto peeker = in_thread([&] { return KmtReadTSQData(q, got.data(), 3, -1, TSQ_READ_OPT_PEEK); });
    ASSERT_EQ(put(q, 8, 30, 1), 1);
    ASSERT_TRUE(readers_are(q, 1));
    ASSERT_EQ(put(q, 8, 31, 2), 2);
    ASSERT_EQ(peeker.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(peeker.get(), 3);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 24), items(8, 30, 3));
    expect_items(q, 8, 30, 3);
    // Without a limit a write waits for all the space it needs.
    ASSERT_EQ(put(q, 8, 40, 4), 4);
    auto writer = in_thread([&] { return put(q, 8, 44, 6, nullptr, -1); });
    for (std::uint32_t i = 0; i < 10; ++i) expect_items(q, 8, 40 + i, 1, -1);
    ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(writer.get(), 6);
}

TEST_F(TsqThreads, RefusalOrDiscardEndsAWaitingReadPeekOrWriteAndOtherBitsDoNot) {
    // A discard may come before, during or after the wait begins.
    constexpr unsigned kDiscard = 0;
    struct Case {
        int kind;  // read, peek, write
        unsigned bit;
        int result;
    };
    std::vector<Case> cases = {{0, TSQ_REFUSE_READS, KMT_ERR_ACCESS_NOT_PERMITTED},
                               {1, TSQ_REFUSE_READS, KMT_ERR_ACCESS_NOT_PERMITTED},
                               {2, TSQ_REFUSE_WRITES, KMT_ERR_ACCESS_NOT_PERMITTED},
                               {0, TSQ_REFUSE_FLUSHES, 1},
                               {0, TSQ_REFUSE_WRITES, 1},
                               {2, TSQ_REFUSE_READS, 1}};
    for (int round = 0; round < 30; ++round) cases.push_back({round % 3, kDiscard, KMT_ERR_INVALID_HANDLE});
    std::mt19937 rng(7);
    for (const Case &c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", refusal " + std::to_string(c.bit));
        KmtTSQHandle q = nullptr;
        ASSERT_EQ(KmtNewTSQ(4, 8, 0, &q), 0);
        ASSERT_EQ(put(q, 8, 0, c.kind == 2 ? 4 : 0), c.kind == 2 ? 4 : 0);
        auto waiter = in_thread([&] {
            Bytes buf(8);
            if (c.kind == 2) return put(q, 8, 4, 1, nullptr, -1);
            return KmtReadTSQData(q, buf.data(), 1, -1, c.kind == 1 ? TSQ_READ_OPT_PEEK : 0);
        });
        if (c.bit == kDiscard) {
            kez::os::sleep_ms(std::uniform_int_distribution<unsigned>(0, 20)(rng));
            ASSERT_EQ(KmtDiscardTSQ(q), 0);
        } else {
            ASSERT_TRUE(c.kind == 2 ? writers_are(q, 1) : readers_are(q, 1));
            kez::os::sleep_ms(20);  // into its wait
            ASSERT_EQ(set_refusal(q, c.bit), 0);
        }
        if (c.result == 1) {  // still waiting; the other side ends it
            ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
            ASSERT_EQ(set_refusal(q, 0), 0);
            if (c.kind == 2) expect_items(q, 8, 0, 1);
            else ASSERT_EQ(put(q, 8, 0, 1), 1);
        }
        ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
        EXPECT_EQ(waiter.get(), c.result);
        EXPECT_EQ(c.bit != kDiscard ? KmtDiscardTSQ(q) : 0, 0);
    }
}

// A reader that waited through one resize and then copies from the new ring
// must keep that ring while further resizes replace it: ASan reports a copy
// from freed memory, TSan a copy racing with the free. The reader copies
// into fresh pages and so more slowly than a resize, which makes the
// overlap likely.
TEST_F(TsqThreads, AReaderCopyingFromARingOutlivesTheResizesThatReplaceIt) {
    constexpr int kItems = 1024, kSize = 64;
    const Bytes data = items(kSize, 0, kItems);
#if defined(KEZ_TEST_TSAN)
    constexpr int kRounds = 30;  // TSan sees the first overlap
#else
    constexpr int kRounds = 100;
#endif
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Queue q(kItems, kSize);
        std::unique_ptr<unsigned char[]> fresh(new unsigned char[std::size_t{4} << 20]);
        int read = -1;
        std::thread reader([&] { read = KmtReadTSQData(q, fresh.get(), kItems, -1, 0); });
        EXPECT_TRUE(readers_are(q, 1));
        kez::os::sleep_ms(2);  // into its wait
        EXPECT_EQ(resize(q, kItems), 0);
        EXPECT_EQ(KmtWriteTSQData(q, data.data(), kItems, -1, nullptr), kItems);
        for (int i = 0; i < 100000 && items_in(q) != 0; ++i) EXPECT_EQ(resize(q, kItems), 0);
        reader.join();
        EXPECT_EQ(read, kItems);
        ASSERT_EQ(Bytes(fresh.get(), fresh.get() + data.size()), data);
    }
}

TEST_F(TsqThreads, AFlushingWriteWaitsForAHeldReadPointerInsteadOfFlushingUnderIt) {
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        SCOPED_TRACE(option);
        Queue q(4, 8, option);
        ASSERT_EQ(put(q, 8, 0, 4), 4);
        std::promise<void> release;
        std::atomic<bool> holding{false};
        auto holder = in_thread([&, f = release.get_future()] {
            void *p = nullptr;
            int n = 0;
            const int got = KmtGetTSQReadPtr(q, &p, &n);
            holding = true;
            f.wait();
            const bool same = got == 0 && n == 4 && Bytes(static_cast<unsigned char *>(p),
                                                          static_cast<unsigned char *>(p) + 32) == items(8, 0, 4);
            return got == 0 && KmtReleaseTSQReadPtr(q, 2) == 0 && same;
        });
        ASSERT_TRUE(eventually([&] { return holding.load(); }));
        // The items under the pointer cannot go: the write runs out of time.
        size_t flushed = 99;
        EXPECT_EQ(put(q, 8, 10, 2, &flushed, 30), 0);
        EXPECT_EQ(flushed, 0u);
        EXPECT_EQ(items_in(q), 4u);
        // Without a limit it waits, and the release makes the room.
        auto writer = in_thread([&] {
            size_t f = 99;
            return put(q, 8, 10, 2, &f, -1) == 2 && f == 0;
        });
        ASSERT_TRUE(writers_are(q, 1));
        release.set_value();
        ASSERT_EQ(holder.wait_for(kPrompt), std::future_status::ready);
        EXPECT_TRUE(holder.get());
        ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
        EXPECT_TRUE(writer.get());
        expect_items(q, 8, 2, 2);
        expect_items(q, 8, 10, 2);
    }
}

TEST_F(TsqThreads, AFlushingWriteNeverDeadlocksWithAReaderThatWantsMore) {
    // The reader asks for more than the queue holds and stays inside its
    // read while the writer fills the queue: nothing may be flushed.
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        Queue q(4, 8, option);
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE("option " + std::to_string(option) + " round " + std::to_string(round));
            Bytes got(9 * 8);
            auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 9, -1, 0); });
            ASSERT_EQ(put(q, 8, 0, 1, nullptr, -1), 1);
            ASSERT_TRUE(eventually([&] { return items_in(q) == 0; }));  // the reader took item 0
            size_t flushed_a = 99, flushed_b = 99;
            const int a = put(q, 8, 1, 4, &flushed_a, -1);
            const int b = put(q, 8, 5, 4, &flushed_b, -1);
            ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready);
            ASSERT_EQ(reader.get(), 9);
            ASSERT_EQ(a + b, 8);
            ASSERT_EQ(flushed_a + flushed_b, 0u);
            ASSERT_EQ(got, items(8, 0, 9));
        }
    }
}

// ---- producers and consumers under load --------------------------------------------------

// Items moved in each load test: the sanitizers slow each call by an order
// of magnitude and Wine more still; each leg stays within seconds.
#if defined(_WIN32)
constexpr std::uint64_t kLoadItems = 200000;
#elif defined(KEZ_TEST_ASAN) || defined(KEZ_TEST_TSAN)
constexpr std::uint64_t kLoadItems = 2000000;
#else
constexpr std::uint64_t kLoadItems = 10000000;
#endif

// The first failure of a worker thread; it refuses the queue's reads and
// writes so that the other workers leave their waits at once.
struct Failures {
    std::mutex mutex;
    std::string first;
    std::atomic<bool> any{false};
    void fail(KmtTSQHandle q, const std::string &what) {
        if (std::lock_guard<std::mutex> lock(mutex); first.empty()) first = what;
        any = true;
        set_refusal(q, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES);
    }
};

struct LoadPlan {
    const char *what;
    int capacity;
    unsigned options;
    std::uint64_t items;
    int max_batch;
    int peek_limit;  // the most items a peek may ask for
    bool resizer;    // a third thread keeps changing the capacity
};

// No wait, a few milliseconds, or no limit.
int random_timeout(std::mt19937 &rng) {
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    return pick < 3 ? 0 : pick < 6 ? std::uniform_int_distribution<int>(1, 4)(rng) : -1;
}
// Whether n numbered items follow on from *next (without a gap unless
// `gaps`); moves *next past the last one.
bool in_order(const void *got, int n, std::uint64_t *next, bool gaps) {
    for (int i = 0; i < n; ++i) {
        std::uint64_t v = 0;
        std::memcpy(&v, static_cast<const char *>(got) + 8 * i, 8);
        if (gaps ? v < *next : v != *next) return false;
        *next = v + 1;
    }
    return true;
}
void fill_sequence(void *to, int n, std::uint64_t first) {
    for (int i = 0; i < n; ++i) {
        const std::uint64_t v = first + static_cast<std::uint64_t>(i);
        std::memcpy(static_cast<char *>(to) + 8 * i, &v, 8);
    }
}

// One side of the transfer: writes (and the write pointer now and then), or
// reads, peeks and read pointers, each checked against the sequence. A
// result outside [0, batch], or short of the batch without a limit, is a
// fault. `count`: the items received, or the items the writes flushed.
void transfer(KmtTSQHandle q, const LoadPlan &plan, bool reader, Failures &failures, std::uint64_t *count) {
    const bool gaps = (plan.options & (TSQ_OPT_FLUSH_ALL_WHEN_FULL | TSQ_OPT_FLUSH_EXACT_WHEN_FULL)) != 0;
    std::mt19937 rng(reader ? 2 : 1);
    std::vector<std::uint64_t> buf(static_cast<std::size_t>(plan.max_batch));
    std::uint64_t next = 0;  // the next item to write, or the least one a read may see
    auto fail = [&](const char *what, int r) {
        failures.fail(q, std::string(what) + " at " + std::to_string(next) + ": " + std::to_string(r));
    };
    while (next < plan.items && !failures.any) {
        const int batch = static_cast<int>(
            std::min<std::uint64_t>(std::uniform_int_distribution<int>(1, plan.max_batch)(rng), plan.items - next));
        const int how = std::uniform_int_distribution<int>(0, 9)(rng);
        if (how < 2) {
            void *p = nullptr;
            int n = 0;
            const int r = reader ? KmtGetTSQReadPtr(q, &p, &n) : KmtGetTSQWritePtr(q, &p, &n);
            if (r == (reader ? KMT_ERR_QUEUE_EMPTY : KMT_ERR_QUEUE_FULL)) {
                std::this_thread::yield();
                continue;
            }
            if (r != 0 || n < 1) return fail("pointer", r);
            const int k = reader ? std::uniform_int_distribution<int>(0, n)(rng) : std::min(n, batch);
            std::uint64_t seen = next;
            const bool ordered = !reader || in_order(p, n, &seen, gaps);
            if (reader) in_order(p, k, &next, gaps);
            if (!reader) fill_sequence(p, k, next);
            const int rel = reader ? KmtReleaseTSQReadPtr(q, ordered ? k : 0) : KmtReleaseTSQWritePtr(q, k);
            if (!ordered || rel != 0) return fail(ordered ? "pointer release" : "pointer out of order", rel);
            if (!reader) next += static_cast<std::uint64_t>(k);
            *count += reader ? static_cast<std::uint64_t>(k) : 0;
            continue;
        }
        const bool peek = reader && how == 2;
        const int k = peek ? std::min(batch, plan.peek_limit) : batch;
        // Items may be flushed away: a read with gaps never waits for all.
        const int timeout = peek ? 0 : reader && gaps ? std::uniform_int_distribution<int>(0, 2)(rng) : random_timeout(rng);
        if (!reader) fill_sequence(buf.data(), k, next);
        std::size_t flushed = 0;
        const int r = reader ? KmtReadTSQData(q, buf.data(), std::size_t(k), timeout, peek ? TSQ_READ_OPT_PEEK : 0)
                             : KmtWriteTSQData(q, buf.data(), std::size_t(k), timeout, &flushed);
        if (r < 0 || r > k || (timeout < 0 && r != k))
            return fail(peek ? "peek" : reader ? "read" : "write", r);
        std::uint64_t seen = next;
        if (reader && !in_order(buf.data(), r, peek ? &seen : &next, gaps)) return fail("read out of order", r);
        if (!reader) next += static_cast<std::uint64_t>(r);
        *count += reader ? (peek ? 0 : static_cast<std::uint64_t>(r)) : flushed;
    }
}

TEST_F(TsqThreads, EveryItemArrivesOnceAndInOrderUnderLoad) {
    // With flushing, what does not arrive is exactly what the writes reported as flushed.
    const LoadPlan plans[] = {
        {"a small queue", 64, 0, kLoadItems, 100, 64, false},
        {"a growing queue", 4, TSQ_OPT_GROW, kLoadItems / 4, 100, 1, false},
        // Large batches: the reader copies long stretches of a ring being replaced.
        {"a queue being resized", 64, 0, kLoadItems / 4, 300, 1, true},
        {"a queue that flushes what it needs", 64, TSQ_OPT_FLUSH_EXACT_WHEN_FULL, kLoadItems / 10, 64, 64, false},
        {"a queue that flushes everything", 64, TSQ_OPT_FLUSH_ALL_WHEN_FULL, kLoadItems / 10, 64, 64, false},
    };
    for (const LoadPlan &plan : plans) {
        SCOPED_TRACE(plan.what);
        Queue q(plan.capacity, 8, plan.options);
        Failures failures;
        std::uint64_t flushed = 0, received = 0;
        std::atomic<bool> done{false};
        std::atomic<int> resizes{0};
        std::thread consumer(transfer, q.get(), std::cref(plan), true, std::ref(failures), &received);
        std::thread producer(transfer, q.get(), std::cref(plan), false, std::ref(failures), &flushed);
        std::thread sizer([&] {
            std::mt19937 rng(3);
            while (plan.resizer && !done && !failures.any) {
                if (const int r = resize(q, std::uniform_int_distribution<std::size_t>(1, 128)(rng)); r != 0)
                    return failures.fail(q, "resize: " + std::to_string(r));
                ++resizes;
                if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) kez::os::sleep_ms(1);
            }
        });
        producer.join();
        consumer.join();
        done = true;
        sizer.join();
        ASSERT_FALSE(failures.any) << failures.first;
        EXPECT_EQ(received + flushed, plan.items);
        EXPECT_EQ(flushed > 0, plan.options >= TSQ_OPT_FLUSH_ALL_WHEN_FULL);
        EXPECT_EQ(items_in(q), 0u);
        EXPECT_EQ(resizes.load() > 0, plan.resizer);
    }
}

}  // namespace
