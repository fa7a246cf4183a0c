// Thread-safe queues between threads: one reader and one writer at a time,
// waiting with and without a time-out, access refusal and discard while a
// thread waits, flushing writes beside a reader, and producers and
// consumers moving numbered items under load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mt/tsq_test_util.h"

namespace {

using namespace kez::test::tsq;
using Clock = std::chrono::steady_clock;

// Generous: only a hang misses it.
constexpr auto kPrompt = std::chrono::seconds(10);

template <class Fn>
auto in_thread(Fn fn) {
    return std::async(std::launch::async, std::move(fn));
}

bool readers_are(KmtTSQHandle q, int n) {
    return eventually([&] { return int_attr(q, ATTR_TSQ_READERS) == n; });
}
bool writers_are(KmtTSQHandle q, int n) {
    return eventually([&] { return int_attr(q, ATTR_TSQ_WRITERS) == n; });
}

class TsqThreads : public TsqTest {};

// ---- one reader, one writer -------------------------------------------------------------

TEST_F(TsqThreads, ASecondReaderIsRefusedAtOnceWhileAPointerIsHeld) {
    Queue q(8, 4);
    ASSERT_EQ(put(q, 4, 0, 3), 3);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    auto other = in_thread([&] {
        unsigned char buf[64];
        void *op = nullptr;
        int on = 0;
        std::vector<int> r;
        r.push_back(KmtReadTSQData(q, buf, 1, -1, 0));
        r.push_back(KmtReadTSQData(q, buf, 1, -1, TSQ_READ_OPT_PEEK));
        r.push_back(KmtReadTSQData(q, buf, 1, 0, 0));
        r.push_back(KmtGetTSQReadPtr(q, &op, &on));
        // The writing side is free.
        r.push_back(put(q, 4, 3, 2));
        return r;
    });
    ASSERT_EQ(other.wait_for(kPrompt), std::future_status::ready);
    const std::vector<int> want = {KMT_ERR_READING_IN_PROGRESS, KMT_ERR_READING_IN_PROGRESS,
                                   KMT_ERR_READING_IN_PROGRESS, KMT_ERR_READING_IN_PROGRESS, 2};
    EXPECT_EQ(other.get(), want);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 3), 0);
    expect_items(q, 4, 3, 2);
}

TEST_F(TsqThreads, ASecondReaderIsRefusedAtOnceWhileAReadWaits) {
    Queue q(8, 4);
    std::vector<unsigned char> got(2 * 4);
    auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 2, -1, 0); });
    ASSERT_TRUE(readers_are(q, 1));
    unsigned char buf[64];
    void *p = nullptr;
    int n = 0;
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, -1, 0), KMT_ERR_READING_IN_PROGRESS);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, -1, TSQ_READ_OPT_PEEK), KMT_ERR_READING_IN_PROGRESS);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_READING_IN_PROGRESS);
    ASSERT_EQ(put_wait(q, 4, 0, 1), 1);
    ASSERT_EQ(put_wait(q, 4, 1, 1), 1);
    ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(reader.get(), 2);
    EXPECT_EQ(got, items(4, 0, 2));
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
}

TEST_F(TsqThreads, ASecondWriterIsRefusedAtOnce) {
    Queue q(4, 4);
    void *p = nullptr;
    int n = 0;
    // While a write pointer is held ...
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    auto other = in_thread([&] {
        void *op = nullptr;
        int on = 0;
        std::vector<int> r;
        r.push_back(KmtWriteTSQData(q, items(4, 0, 1).data(), 1, -1, nullptr));
        r.push_back(KmtGetTSQWritePtr(q, &op, &on));
        return r;
    });
    ASSERT_EQ(other.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(other.get(), (std::vector<int>{KMT_ERR_WRITING_IN_PROGRESS, KMT_ERR_WRITING_IN_PROGRESS}));
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 0), 0);

    // ... and while a write waits for space.
    ASSERT_EQ(put(q, 4, 0, 4), 4);
    auto writer = in_thread([&] { return KmtWriteTSQData(q, items(4, 4, 2).data(), 2, -1, nullptr); });
    ASSERT_TRUE(writers_are(q, 1));
    EXPECT_EQ(put_wait(q, 4, 100, 1), KMT_ERR_WRITING_IN_PROGRESS);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_WRITING_IN_PROGRESS);
    expect_items(q, 4, 0, 3, -1);
    ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(writer.get(), 2);
    expect_items(q, 4, 3, 3);
}

// ---- waiting --------------------------------------------------------------------------------

TEST_F(TsqThreads, WaitingReadsAndWritesTakeWhatComesAndTimeOutWithACount) {
    Queue q(4, 8);
    std::vector<unsigned char> got(5 * 8, 0xEE);
    // Nothing comes: the result is 0 items, not an error, after the wait.
    auto start = Clock::now();
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 60, 0), 0);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 2, 60, TSQ_READ_OPT_PEEK), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));

    // Some comes: what came.
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 30, 0), 2);
    EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 16), items(8, 0, 2));

    // A write that does not fit writes what fits.
    start = Clock::now();
    EXPECT_EQ(put(q, 8, 10, 3), 3);
    EXPECT_EQ(KmtWriteTSQData(q, items(8, 13, 3).data(), 3, 60, nullptr), 1);
    EXPECT_EQ(KmtWriteTSQData(q, items(8, 14, 1).data(), 1, 30, nullptr), 0);
    // (The system's millisecond tick may be coarse: a margin for it.)
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
    expect_items(q, 8, 10, 4);

    // Without a limit a read waits for every item it asked for, as they come.
    auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 5, -1, 0); });
    for (std::uint32_t i = 0; i < 5; ++i) {
        kez::os::sleep_ms(2);
        ASSERT_EQ(put_wait(q, 8, 20 + i, 1), 1);
    }
    ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(reader.get(), 5);
    EXPECT_EQ(got, items(8, 20, 5));

    // A peek without a limit waits until its items are all there and leaves them.
    auto peeker = in_thread([&] { return KmtReadTSQData(q, got.data(), 3, -1, TSQ_READ_OPT_PEEK); });
    ASSERT_EQ(put_wait(q, 8, 30, 1), 1);
    ASSERT_TRUE(readers_are(q, 1));
    ASSERT_EQ(put_wait(q, 8, 31, 2), 2);
    ASSERT_EQ(peeker.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(peeker.get(), 3);
    EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 24), items(8, 30, 3));
    expect_items(q, 8, 30, 3);

    // Without a limit a write waits for all the space it needs.
    ASSERT_EQ(put(q, 8, 40, 4), 4);
    auto writer = in_thread([&] { return KmtWriteTSQData(q, items(8, 44, 6).data(), 6, -1, nullptr); });
    for (std::uint32_t i = 0; i < 10; ++i) {
        std::vector<unsigned char> one(8);
        ASSERT_EQ(KmtReadTSQData(q, one.data(), 1, -1, 0), 1);
        EXPECT_EQ(one, items(8, 40 + i, 1));
    }
    ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(writer.get(), 6);
}

// ---- refusal and discard while a thread waits ---------------------------------------------------

TEST_F(TsqThreads, RefusalEndsAWaitingReadOrWrite) {
    Queue q(4, 8);
    unsigned char buf[64];
    for (unsigned options : {0u, unsigned{TSQ_READ_OPT_PEEK}}) {
        auto reader = in_thread([&] { return KmtReadTSQData(q, buf, 2, -1, options); });
        ASSERT_TRUE(readers_are(q, 1));
        kez::os::sleep_ms(20);  // let it settle into its wait
        ASSERT_EQ(set_refusal(q, TSQ_REFUSE_READS), 0);
        ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready) << options;
        EXPECT_EQ(reader.get(), KMT_ERR_ACCESS_NOT_PERMITTED) << options;
        ASSERT_EQ(set_refusal(q, 0), 0);
    }
    // Bits for other accesses leave the waiting reader alone.
    auto reader = in_thread([&] { return KmtReadTSQData(q, buf, 1, -1, 0); });
    ASSERT_TRUE(readers_are(q, 1));
    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_EQ(set_refusal(q, 0), 0);
    ASSERT_EQ(put_wait(q, 8, 0, 1), 1);
    ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(reader.get(), 1);

    ASSERT_EQ(put(q, 8, 0, 4), 4);
    auto writer = in_thread([&] { return KmtWriteTSQData(q, items(8, 4, 1).data(), 1, -1, nullptr); });
    ASSERT_TRUE(writers_are(q, 1));
    kez::os::sleep_ms(20);
    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_WRITES), 0);
    ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(writer.get(), KMT_ERR_ACCESS_NOT_PERMITTED);
    ASSERT_EQ(set_refusal(q, 0), 0);
    expect_items(q, 8, 0, 4);
}

TEST_F(TsqThreads, DiscardReleasesAWaitingReaderWriterOrPeeker) {
    // The discard may come before, during or after the other thread's wait
    // begins: each round waits a little longer.
    std::mt19937 rng(7);
    for (int round = 0; round < 30; ++round) {
        const int kind = round % 3;  // read, peek, write
        KmtTSQHandle q = nullptr;
        ASSERT_EQ(KmtNewTSQ(4, 8, 0, &q), 0);
        if (kind == 2) {
            ASSERT_EQ(put(q, 8, 0, 4), 4);
        }
        std::atomic<bool> started{false};
        auto waiter = in_thread([&] {
            std::vector<unsigned char> buf(4 * 8);
            started = true;
            if (kind == 2) return KmtWriteTSQData(q, items(8, 4, 2).data(), 2, -1, nullptr);
            return KmtReadTSQData(q, buf.data(), 2, -1, kind == 1 ? TSQ_READ_OPT_PEEK : 0);
        });
        while (!started) std::this_thread::yield();
        if (round >= 3) kez::os::sleep_ms(std::uniform_int_distribution<unsigned>(0, 20)(rng));
        auto discard = in_thread([&] { return KmtDiscardTSQ(q); });
        ASSERT_EQ(discard.wait_for(kPrompt), std::future_status::ready) << "round " << round;
        EXPECT_EQ(discard.get(), 0);
        ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready) << "round " << round;
        EXPECT_EQ(waiter.get(), KMT_ERR_INVALID_HANDLE) << "round " << round << " kind " << kind;
    }
}

// ---- flushing writes beside a reader --------------------------------------------------------------

TEST_F(TsqThreads, AFlushingWriteWaitsForAHeldReadPointerInsteadOfFlushingUnderIt) {
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        Queue q(4, 8, option);
        ASSERT_EQ(put(q, 8, 0, 4), 4);
        std::promise<void> release;
        std::atomic<bool> holding{false};
        auto holder = in_thread([&] {
            void *p = nullptr;
            int n = 0;
            const int got = KmtGetTSQReadPtr(q, &p, &n);
            holding = true;
            release.get_future().wait();
            const bool same = got == 0 && n == 4 &&
                              std::vector<unsigned char>(static_cast<unsigned char *>(p),
                                                         static_cast<unsigned char *>(p) + 32) == items(8, 0, 4);
            return got == 0 && KmtReleaseTSQReadPtr(q, 2) == 0 && same;
        });
        ASSERT_TRUE(eventually([&] { return holding.load(); }));
        // The items under the pointer cannot go: the write times out.
        size_t flushed = 99;
        EXPECT_EQ(KmtWriteTSQData(q, items(8, 10, 2).data(), 2, 30, &flushed), 0) << option;
        EXPECT_EQ(flushed, 0u);
        EXPECT_EQ(items_in(q), 4u);
        // Without a limit it waits, and the release makes the room.
        auto writer = in_thread([&] {
            size_t f = 99;
            const int r = KmtWriteTSQData(q, items(8, 10, 2).data(), 2, -1, &f);
            return r == 2 && f == 0;
        });
        ASSERT_TRUE(writers_are(q, 1));
        release.set_value();
        ASSERT_EQ(holder.wait_for(kPrompt), std::future_status::ready);
        EXPECT_TRUE(holder.get());
        ASSERT_EQ(writer.wait_for(kPrompt), std::future_status::ready);
        EXPECT_TRUE(writer.get()) << option;
        expect_items(q, 8, 2, 2);
        expect_items(q, 8, 10, 2);
    }
}

TEST_F(TsqThreads, AFlushingWriteNeverDeadlocksWithAReaderThatWantsMore) {
    // The reader asks for more than the queue holds and keeps reading; the
    // writer fills the queue faster than it is emptied. The reader is inside
    // its read all along, so nothing may be flushed.
    constexpr int kRounds = 100;
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        Queue q(4, 8, option);
        for (int round = 0; round < kRounds; ++round) {
            std::vector<unsigned char> got(9 * 8);
            auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 9, -1, 0); });
            // The reader has taken item 0 once the queue is empty again.
            ASSERT_EQ(put_wait(q, 8, 0, 1), 1);
            ASSERT_TRUE(eventually([&] { return items_in(q) == 0; }));
            size_t flushed_a = 99, flushed_b = 99;
            const int a = KmtWriteTSQData(q, items(8, 1, 4).data(), 4, -1, &flushed_a);
            const int b = KmtWriteTSQData(q, items(8, 5, 4).data(), 4, -1, &flushed_b);
            ASSERT_EQ(reader.wait_for(kPrompt), std::future_status::ready) << "round " << round;
            ASSERT_EQ(reader.get(), 9);
            ASSERT_EQ(a, 4);
            ASSERT_EQ(b, 4);
            ASSERT_EQ(flushed_a, 0u);
            ASSERT_EQ(flushed_b, 0u);
            ASSERT_EQ(got, items(8, 0, 9)) << "round " << round;
        }
    }
}

// ---- producers and consumers under load ------------------------------------------------------------

// Items moved in each load test. 10^7 in an optimised build; the sanitizers
// slow each call by an order of magnitude and Wine more still, so that each
// leg stays within about 20 s: 2 x 10^6 under ASan or TSan, 2 x 10^5 for
// the Windows build.
std::uint64_t load_items() {
#if defined(_WIN32)
    return 200000;
#elif defined(KEZ_TEST_ASAN) || defined(KEZ_TEST_TSAN)
    return 2000000;
#else
    return 10000000;
#endif
}

// The first failure of a worker thread; the others stop when there is one.
class Failures {
  public:
    void fail(KmtTSQHandle q, const std::string &what) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (first_.empty()) first_ = what;
        }
        any_ = true;
        // Waiting readers and writers leave at once.
        set_refusal(q, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES);
    }
    bool any() const { return any_; }
    std::string first() {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_;
    }

  private:
    std::mutex mutex_;
    std::string first_;
    std::atomic<bool> any_{false};
};

struct LoadPlan {
    std::uint64_t items;
    int max_batch;
    bool pointers;   // also move items through the read and write pointers
    bool peeks;      // peek before some reads
    int peek_limit;  // the most items a peek may ask for
};

// Random time-outs: no wait, a few milliseconds, or no limit.
int random_timeout(std::mt19937 &rng) {
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    return pick < 3 ? 0 : pick < 6 ? std::uniform_int_distribution<int>(1, 4)(rng) : -1;
}

// A call with a time-out waits for the queue's main lock no longer than
// that: while another thread holds it (a resize copies the ring under it)
// the call gives up with KMT_ERR_TIMEOUT, having moved nothing.
int moved(int result, int timeout) { return result == KMT_ERR_TIMEOUT && timeout >= 0 ? 0 : result; }

void produce(KmtTSQHandle q, const LoadPlan &plan, unsigned seed, Failures &failures) {
    std::mt19937 rng(seed);
    std::vector<std::uint64_t> buf(static_cast<std::size_t>(plan.max_batch));
    std::uint64_t next = 0;
    while (next < plan.items && !failures.any()) {
        const int batch = static_cast<int>(
            std::min<std::uint64_t>(std::uniform_int_distribution<int>(1, plan.max_batch)(rng), plan.items - next));
        if (plan.pointers && std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
            void *p = nullptr;
            int n = 0;
            const int r = KmtGetTSQWritePtr(q, &p, &n);
            if (r == KMT_ERR_QUEUE_FULL) {
                std::this_thread::yield();
                continue;
            }
            if (r != 0 || n < 1) return failures.fail(q, "write pointer: " + std::to_string(r));
            const int k = std::min(n, batch);
            for (int i = 0; i < k; ++i) {
                const std::uint64_t v = next + static_cast<std::uint64_t>(i);
                std::memcpy(static_cast<char *>(p) + 8 * i, &v, 8);
            }
            if (const int rel = KmtReleaseTSQWritePtr(q, k); rel != 0)
                return failures.fail(q, "write pointer release: " + std::to_string(rel));
            next += static_cast<std::uint64_t>(k);
            continue;
        }
        for (int i = 0; i < batch; ++i) buf[static_cast<std::size_t>(i)] = next + static_cast<std::uint64_t>(i);
        const int timeout = random_timeout(rng);
        const int r = moved(KmtWriteTSQData(q, buf.data(), static_cast<std::size_t>(batch), timeout, nullptr), timeout);
        if (r < 0 || r > batch || (timeout < 0 && r != batch))
            return failures.fail(q, "write of " + std::to_string(batch) + " with time-out " + std::to_string(timeout) +
                                        ": " + std::to_string(r));
        next += static_cast<std::uint64_t>(r);
    }
}

// Checks that `got` holds expected, expected + 1, ...
bool in_sequence(const void *got, int n, std::uint64_t expected) {
    for (int i = 0; i < n; ++i) {
        std::uint64_t v = 0;
        std::memcpy(&v, static_cast<const char *>(got) + 8 * i, 8);
        if (v != expected + static_cast<std::uint64_t>(i)) return false;
    }
    return true;
}

void consume(KmtTSQHandle q, const LoadPlan &plan, unsigned seed, Failures &failures, std::uint64_t *received) {
    std::mt19937 rng(seed);
    std::vector<std::uint64_t> buf(static_cast<std::size_t>(plan.max_batch));
    std::uint64_t expected = 0;
    while (expected < plan.items && !failures.any()) {
        const int batch = static_cast<int>(
            std::min<std::uint64_t>(std::uniform_int_distribution<int>(1, plan.max_batch)(rng), plan.items - expected));
        const int how = std::uniform_int_distribution<int>(0, 9)(rng);
        if (plan.pointers && how < 2) {
            void *p = nullptr;
            int n = 0;
            const int r = KmtGetTSQReadPtr(q, &p, &n);
            if (r == KMT_ERR_QUEUE_EMPTY) {
                std::this_thread::yield();
                continue;
            }
            if (r != 0 || n < 1) return failures.fail(q, "read pointer: " + std::to_string(r));
            if (!in_sequence(p, n, expected)) {
                KmtReleaseTSQReadPtr(q, 0);
                return failures.fail(q, "read pointer out of sequence at " + std::to_string(expected));
            }
            const int k = std::uniform_int_distribution<int>(0, n)(rng);
            if (const int rel = KmtReleaseTSQReadPtr(q, k); rel != 0)
                return failures.fail(q, "read pointer release: " + std::to_string(rel));
            expected += static_cast<std::uint64_t>(k);
            continue;
        }
        if (plan.peeks && how == 2) {
            const int k = std::min(batch, plan.peek_limit);
            const int r = moved(KmtReadTSQData(q, buf.data(), static_cast<std::size_t>(k), 0, TSQ_READ_OPT_PEEK), 0);
            if (r < 0 || r > k || !in_sequence(buf.data(), r, expected))
                return failures.fail(q, "peek at " + std::to_string(expected) + ": " + std::to_string(r));
            continue;
        }
        const int timeout = random_timeout(rng);
        const int r = moved(KmtReadTSQData(q, buf.data(), static_cast<std::size_t>(batch), timeout, 0), timeout);
        if (r < 0 || r > batch || (timeout < 0 && r != batch))
            return failures.fail(q, "read of " + std::to_string(batch) + " with time-out " + std::to_string(timeout) +
                                        ": " + std::to_string(r));
        if (!in_sequence(buf.data(), r, expected))
            return failures.fail(q, "read out of sequence at " + std::to_string(expected));
        expected += static_cast<std::uint64_t>(r);
    }
    *received = expected;
}

// Moves plan.items numbered items from a producer to a consumer; with
// `resizer`, a third thread keeps changing the capacity meanwhile.
void run_load(KmtTSQHandle q, const LoadPlan &plan, bool resizer) {
    Failures failures;
    std::uint64_t received = 0;
    std::atomic<bool> done{false};
    std::atomic<int> resizes{0};
    std::thread consumer(consume, q, std::cref(plan), 2u, std::ref(failures), &received);
    std::thread producer(produce, q, std::cref(plan), 1u, std::ref(failures));
    std::thread sizer;
    if (resizer) {
        sizer = std::thread([&] {
            std::mt19937 rng(3);
            while (!done && !failures.any()) {
                const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 128)(rng);
                if (const int r = resize(q, n); r != 0) return failures.fail(q, "resize: " + std::to_string(r));
                ++resizes;
                if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) kez::os::sleep_ms(1);
            }
        });
    }
    producer.join();
    consumer.join();
    done = true;
    if (sizer.joinable()) sizer.join();
    ASSERT_FALSE(failures.any()) << failures.first();
    EXPECT_EQ(received, plan.items);
    EXPECT_EQ(items_in(q), 0u);
    if (resizer) {
        EXPECT_GT(resizes.load(), 0);
    }
}

TEST_F(TsqThreads, EveryItemArrivesOnceAndInOrderThroughASmallQueue) {
    const LoadPlan plan{load_items(), 100, true, true, 64};
    Queue q(64, 8);
    run_load(q, plan, false);
}

TEST_F(TsqThreads, EveryItemArrivesOnceAndInOrderThroughAGrowingQueue) {
    const LoadPlan plan{load_items() / 4, 100, true, true, 1};
    Queue q(4, 8, TSQ_OPT_GROW);
    run_load(q, plan, false);
}

TEST_F(TsqThreads, EveryItemArrivesOnceAndInOrderWhileTheQueueIsResized) {
    // Large batches: the reader copies long stretches of a ring while it is
    // being replaced.
    const LoadPlan plan{load_items() / 4, 300, true, true, 1};
    Queue q(64, 8);
    run_load(q, plan, true);
}

TEST_F(TsqThreads, FlushingWritesUnderLoadLoseOnlyWhatTheyReport) {
    // What arrives is in order without repeats, and what does not arrive
    // is exactly what the writes reported as flushed.
    const std::uint64_t total = load_items() / 10;
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        Queue q(64, 8, option);
        std::atomic<bool> producer_done{false};
        std::uint64_t flushed_total = 0;
        std::string producer_error, consumer_error;
        std::thread producer([&] {
            std::mt19937 rng(11);
            std::vector<std::uint64_t> buf(64);
            std::uint64_t next = 0;
            while (next < total) {
                const int batch = static_cast<int>(
                    std::min<std::uint64_t>(std::uniform_int_distribution<int>(1, 64)(rng), total - next));
                for (int i = 0; i < batch; ++i) buf[static_cast<std::size_t>(i)] = next + static_cast<std::uint64_t>(i);
                size_t flushed = 0;
                const int r = KmtWriteTSQData(q, buf.data(), static_cast<std::size_t>(batch), -1, &flushed);
                if (r != batch) {
                    producer_error = "write of " + std::to_string(batch) + ": " + std::to_string(r);
                    break;
                }
                flushed_total += flushed;
                next += static_cast<std::uint64_t>(batch);
            }
            producer_done = true;
        });
        std::uint64_t received = 0;
        std::thread consumer([&] {
            std::mt19937 rng(12);
            std::vector<std::uint64_t> buf(64);
            std::uint64_t last = 0;
            bool first = true;
            for (;;) {
                const bool finished = producer_done.load();
                const int batch = std::uniform_int_distribution<int>(1, 64)(rng);
                const int timeout = std::uniform_int_distribution<int>(0, 2)(rng);
                const int r =
                    moved(KmtReadTSQData(q, buf.data(), static_cast<std::size_t>(batch), timeout, 0), timeout);
                if (r < 0 || r > batch) {
                    consumer_error = "read: " + std::to_string(r);
                    return;
                }
                for (int i = 0; i < r; ++i) {
                    const std::uint64_t v = buf[static_cast<std::size_t>(i)];
                    if (!first && v <= last) {
                        consumer_error = std::to_string(v) + " after " + std::to_string(last);
                        return;
                    }
                    first = false;
                    last = v;
                }
                received += static_cast<std::uint64_t>(r);
                if (finished && r == 0) return;
            }
        });
        producer.join();
        consumer.join();
        ASSERT_EQ(producer_error, "") << option;
        ASSERT_EQ(consumer_error, "") << option;
        EXPECT_EQ(received + flushed_total, total) << option;
        EXPECT_EQ(items_in(q), 0u);
    }
}

}  // namespace
