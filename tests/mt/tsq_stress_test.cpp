// The acquisition pattern under load, many times over: three pool threads
// share one user lock to write blocks into a queue, and the main thread
// drains it, without waiting, from an items-in-queue callback that
// ProcessSystemEvents delivers. Every item must arrive, in order per
// producer, and the flow must never stall: a drain that finds the queue's
// internal lock busy must still see the items, or the callback is never
// posted again and the writers wait for space forever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "support/watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kJobs = 8;
constexpr int kItemsPerJob = 200000;
constexpr int kBlock = 500;
constexpr int kCapacity = 2000;
constexpr int kThreshold = 1000;
// A round that moves nothing for this long has stalled.
constexpr auto kStallLimit = std::chrono::seconds(10);

struct Item {
    std::uint32_t job;
    std::uint32_t seq;
};

struct Round {
    KmtTSQHandle queue = nullptr;
    KmtLockHandle writing = nullptr;
    std::atomic<int> jobs_done{0};
    std::uint32_t next_seq[kJobs] = {};
    long received = 0;
    long out_of_order = 0;
    int deliveries = 0;
};

struct Job {
    Round *round;
    std::uint32_t job;
};

int produce(void *data) {
    const Job *job = static_cast<Job *>(data);
    Item block[kBlock];
    for (int i = 0; i < kItemsPerJob; ++i) {
        block[i % kBlock] = Item{job->job, static_cast<std::uint32_t>(i)};
        if (i % kBlock != kBlock - 1) continue;
        KmtGetLock(job->round->writing);
        const int written = KmtWriteTSQData(job->round->queue, block, kBlock, -1, nullptr);
        KmtReleaseLock(job->round->writing);
        if (written != kBlock) break;  // refused after a stall: the round has failed already
    }
    job->round->jobs_done.fetch_add(1);
    return 0;
}

// Takes whatever the queue holds, without waiting for more.
void drain(Round *round) {
    Item block[kBlock];
    int n;
    while ((n = KmtReadTSQData(round->queue, block, kBlock, 0, 0)) > 0) {
        for (int i = 0; i < n; ++i) {
            std::uint32_t &next = round->next_seq[block[i].job % kJobs];
            if (block[i].seq != next) ++round->out_of_order;
            next = block[i].seq + 1;
        }
        round->received += n;
    }
}

void items_waiting(KmtTSQHandle, unsigned int, int, void *data) {
    auto *round = static_cast<Round *>(data);
    ++round->deliveries;
    drain(round);
}

std::size_t items_in(KmtTSQHandle q) {
    std::size_t n = 0;
    KmtGetTSQAttribute(q, ATTR_TSQ_ITEMS_IN_QUEUE, &n);
    return n;
}

// One round; false with a message when it stalled or lost items.
::testing::AssertionResult run_round(KmtThreadPoolHandle pool) {
    Round round;
    if (KmtNewTSQ(kCapacity, sizeof(Item), 0, &round.queue) != 0 || KmtNewLock(nullptr, 0, &round.writing) != 0)
        return ::testing::AssertionFailure() << "set-up failed";
    KmtInstallTSQCallback(round.queue, EVENT_TSQ_ITEMS_IN_QUEUE, kThreshold, items_waiting, &round,
                          KmtGetCurrentThreadID(), nullptr);
    Job jobs[kJobs];
    int ids[kJobs];
    for (int j = 0; j < kJobs; ++j) {
        jobs[j] = Job{&round, static_cast<std::uint32_t>(j)};
        KmtScheduleThreadPoolFunction(pool, produce, &jobs[j], &ids[j]);
    }
    const long total = static_cast<long>(kJobs) * kItemsPerJob;
    long seen = -1;
    auto last_progress = Clock::now();
    bool stalled = false;
    while (round.jobs_done.load() < kJobs || round.received < total) {
        ProcessSystemEvents();
        // The last items of a round may stay below the threshold.
        if (round.jobs_done.load() == kJobs) drain(&round);
        if (round.received != seen) {
            seen = round.received;
            last_progress = Clock::now();
        } else if (Clock::now() - last_progress > kStallLimit) {
            stalled = true;
            break;
        }
        std::this_thread::yield();
    }
    const std::size_t left = items_in(round.queue);
    // A stalled round lets its writers go before it fails.
    if (stalled) KmtSetTSQAttribute(round.queue, ATTR_TSQ_ACCESS_REFUSAL, 2u);
    for (int id : ids) {
        KmtWaitForThreadPoolFunctionCompletion(pool, id, 0);
        KmtReleaseThreadPoolFunctionID(pool, id);
    }
    ProcessSystemEvents();  // a delivery still queued finds the queue gone and ends quietly
    KmtDiscardTSQ(round.queue);
    KmtDiscardLock(round.writing);
    if (stalled)
        return ::testing::AssertionFailure() << "stalled with " << round.received << " of " << total
                                             << " items received, " << left << " in the queue, "
                                             << round.jobs_done.load() << " of " << kJobs << " producers done, "
                                             << round.deliveries << " deliveries";
    if (round.received != total || round.out_of_order != 0)
        return ::testing::AssertionFailure() << round.received << " of " << total << " received, "
                                             << round.out_of_order << " out of order";
    return ::testing::AssertionSuccess();
}

// A flushing write makes room whatever a reader does meanwhile, so even
// without waiting it writes every item (a held read pointer, which keeps
// its items, is tested beside the other waits of the queue).
TEST(TsqStress, FlushingWriteWithoutWaitAlwaysWritesBesideAReader) {
    kez::test::Watchdog watchdog(std::chrono::seconds(300), "the flushing writes");
    KmtTSQHandle q = nullptr;
    ASSERT_EQ(KmtNewTSQ(4, sizeof(Item), TSQ_OPT_FLUSH_EXACT_WHEN_FULL, &q), 0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        Item one;
        while (!stop.load()) KmtReadTSQData(q, &one, 1, 0, 0);
    });
    const Item three[3] = {};
    int short_writes = 0;
    for (int i = 0; i < 20000; ++i)
        if (KmtWriteTSQData(q, three, 3, 0, nullptr) != 3) ++short_writes;
    stop.store(true);
    reader.join();
    EXPECT_EQ(short_writes, 0);
    EXPECT_EQ(KmtDiscardTSQ(q), 0);
}

TEST(TsqStress, DrainFromCallbackNeverStallsOrLoses) {
    int rounds = 200;
    if (const char *env = std::getenv("KEZ_TSQ_STRESS_ROUNDS")) rounds = std::atoi(env);
    kez::test::Watchdog watchdog(std::chrono::seconds(1200), "the queue stress rounds");
    KmtThreadPoolHandle pool = nullptr;
    ASSERT_EQ(KmtNewThreadPool(3, &pool), 0);
    for (int r = 0; r < rounds; ++r) {
        const ::testing::AssertionResult ok = run_round(pool);
        ASSERT_TRUE(ok) << "round " << r + 1 << " of " << rounds;
    }
    EXPECT_EQ(KmtDiscardThreadPool(pool), 0);
}

}  // namespace
