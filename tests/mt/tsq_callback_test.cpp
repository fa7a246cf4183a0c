// Thread-safe queues: threshold callbacks. They arrive as deferred calls on
// the thread named at installation, once per burst of changes, only while
// installed and only when the value still reaches the threshold when the
// thread gets to them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "mt/tsq_test_util.h"

namespace {

using namespace kez::test::tsq;

struct Call {
    KmtTSQHandle queue;
    unsigned event;
    int value;
    unsigned thread;
};

class Recorder {
  public:
    void add(const Call &c) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(c);
    }
    std::vector<Call> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_.size();
    }
    Call last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_.empty() ? Call{nullptr, 0, -1, 0} : calls_.back();
    }

  private:
    std::mutex mutex_;
    std::vector<Call> calls_;
};

void ignore_event(KmtTSQHandle, unsigned, int, void *) {}

void record(KmtTSQHandle q, unsigned event, int value, void *data) {
    static_cast<Recorder *>(data)->add({q, event, value, KmtGetCurrentThreadID()});
}

// Calls left over from an earlier test belong to discarded queues and end
// silently; draining before and after keeps each test to its own calls.
class TsqCallback : public TsqTest {
  protected:
    void SetUp() override { ProcessSystemEvents(); }
    void TearDown() override { ProcessSystemEvents(); }

    KmtTSQCallbackID install(KmtTSQHandle q, unsigned event, int threshold, Recorder &rec,
                             unsigned thread = KmtGetCurrentThreadID()) {
        KmtTSQCallbackID id = nullptr;
        EXPECT_EQ(KmtInstallTSQCallback(q, event, threshold, record, &rec, thread, &id), 0);
        return id;
    }
    static void write_one_by_one(KmtTSQHandle q, std::uint32_t first, int count) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(put(q, 4, first + static_cast<std::uint32_t>(i), 1), 1);
    }
};

TEST_F(TsqCallback, RegistrationChecksEventsDuplicatesAndIds) {
    Queue q(4, 8);
    Queue other(4, 8);
    for (unsigned event : {0u, 3u, 5u, 6u, 7u, 8u, 16u, ~0u})
        EXPECT_EQ(KmtInstallTSQCallback(q, event, 1, ignore_event, nullptr, 0, nullptr), KMT_ERR_INVALID_EVENT)
            << event;
    KmtTSQCallbackID ids[3] = {};
    const unsigned events[3] = {EVENT_TSQ_QUEUE_SIZE, EVENT_TSQ_ITEMS_IN_QUEUE, EVENT_TSQ_QUEUE_SPACE_FREE};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KmtInstallTSQCallback(q, events[i], i, ignore_event, nullptr, 0, &ids[i]), 0) << events[i];
        ASSERT_NE(ids[i], nullptr);
        EXPECT_EQ(KmtInstallTSQCallback(q, events[i], 7, ignore_event, nullptr, 0, nullptr),
                  KMT_ERR_CALLBACK_ALREADY_INSTALLED)
            << events[i];
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    // An ID of another queue, a made-up one and null are unknown here.
    KmtTSQCallbackID foreign = nullptr;
    ASSERT_EQ(KmtInstallTSQCallback(other, EVENT_TSQ_ITEMS_IN_QUEUE, 1, ignore_event, nullptr, 0, &foreign), 0);
    int made_up = 0;
    EXPECT_EQ(KmtUninstallTSQCallback(q, foreign), KMT_ERR_CALLBACK_NOT_INSTALLED);
    EXPECT_EQ(KmtUninstallTSQCallback(q, &made_up), KMT_ERR_CALLBACK_NOT_INSTALLED);
    EXPECT_EQ(KmtUninstallTSQCallback(q, nullptr), KMT_ERR_CALLBACK_NOT_INSTALLED);
    for (KmtTSQCallbackID id : ids) {
        EXPECT_EQ(KmtUninstallTSQCallback(q, id), 0);
        EXPECT_EQ(KmtUninstallTSQCallback(q, id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    }
    // Each event takes a callback again; a null ID pointer is fine.
    for (unsigned event : events) EXPECT_EQ(KmtInstallTSQCallback(q, event, 0, ignore_event, nullptr, 0, nullptr), 0);
    EXPECT_EQ(KmtUninstallTSQCallback(other, foreign), 0);
    // Discarding frees installed callbacks (ASan's leak check).
}

TEST_F(TsqCallback, ItemsInQueueIsCalledOncePerBurstWithTheCurrentCount) {
    Queue q(64, 4);
    Recorder rec;
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 9);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u) << "below the threshold";

    write_one_by_one(q, 9, 16);  // passes 10 and goes on to 25
    EXPECT_EQ(rec.size(), 0u) << "nothing runs before the thread processes events";
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 1u);
    const Call c = rec.last();
    EXPECT_EQ(c.queue, q.get());
    EXPECT_EQ(c.event, unsigned{EVENT_TSQ_ITEMS_IN_QUEUE});
    EXPECT_EQ(c.value, 25);
    EXPECT_EQ(c.thread, KmtGetCurrentThreadID());
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 1u);

    // The next write above the threshold is a new burst.
    write_one_by_one(q, 25, 1);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec.last().value, 26);

    // The write pointer counts as a write.
    ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_GE(n, 12);
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 12), 0);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec.last().value, 12);
}

TEST_F(TsqCallback, ItemsInQueueIsNotCalledWhenAReaderEmptiedTheQueueFirst) {
    Queue q(64, 4);
    Recorder rec;
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 12);
    expect_items(q, 4, 0, 12);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
    // Below the threshold by then is not reached either.
    write_one_by_one(q, 12, 11);
    ASSERT_EQ(KmtFlushTSQ(q, 5, nullptr), 0);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
    // The dropped calls left the callback ready for the next burst.
    write_one_by_one(q, 23, 4);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec.last().value, 10);
}

TEST_F(TsqCallback, NothingIsCalledAfterUninstall) {
    Queue q(64, 4);
    Recorder rec;
    KmtTSQCallbackID id = install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 12);  // posted
    ASSERT_EQ(KmtUninstallTSQCallback(q, id), 0);
    ProcessSystemEvents();
    write_one_by_one(q, 12, 12);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
}

TEST_F(TsqCallback, AReinstalledCallbackDoesNotReviveTheOldOne) {
    // A call posted for the old installation must not reach the old
    // callback, also when the new installation got the same ID.
    Queue q(64, 4);
    Recorder old_rec, new_rec;
    for (int round = 0; round < 20; ++round) {
        KmtTSQCallbackID old_id = install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, old_rec);
        write_one_by_one(q, 0, 1);  // posted for the old installation
        ASSERT_EQ(KmtUninstallTSQCallback(q, old_id), 0);
        KmtTSQCallbackID new_id = install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, new_rec);
        ProcessSystemEvents();
        ASSERT_EQ(old_rec.size(), 0u) << "round " << round << (new_id == old_id ? ", the ID was reused" : "");
        ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
        ASSERT_EQ(KmtUninstallTSQCallback(q, new_id), 0);
    }
}

TEST_F(TsqCallback, SpaceFreeFollowsReadsPointerReleasesAndFlushes) {
    Queue q(10, 4);
    Recorder rec;
    ASSERT_EQ(put(q, 4, 0, 10), 10);
    install(q, EVENT_TSQ_QUEUE_SPACE_FREE, 4, rec);
    unsigned char buf[64];
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
    ASSERT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), 1);
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec.last().event, unsigned{EVENT_TSQ_QUEUE_SPACE_FREE});
    EXPECT_EQ(rec.last().value, 5);

    ASSERT_EQ(put(q, 4, 10, 5), 5);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    ASSERT_GE(n, 4);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 4), 0);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec.last().value, 4);

    ASSERT_EQ(put(q, 4, 20, 4), 4);
    ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec.last().value, 10);
    // A write that fills the space back up before delivery: not called.
    ASSERT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), 0);
    ASSERT_EQ(put(q, 4, 30, 10), 10);
    ASSERT_EQ(KmtReadTSQData(q, buf, 5, 0, 0), 5);
    ASSERT_EQ(put(q, 4, 40, 5), 5);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 3u);
}

TEST_F(TsqCallback, QueueSizeFollowsResizesAndGrowth) {
    Queue q(10, 4, TSQ_OPT_GROW);
    Recorder rec;
    install(q, EVENT_TSQ_QUEUE_SIZE, 15, rec);
    ASSERT_EQ(resize(q, 12), 0);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
    ASSERT_EQ(resize(q, 20), 0);
    ASSERT_EQ(resize(q, 30), 0);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec.last().event, unsigned{EVENT_TSQ_QUEUE_SIZE});
    EXPECT_EQ(rec.last().value, 30);

    // Growth by a write is a resize too.
    ASSERT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{4}), 0);
    ASSERT_EQ(put(q, 4, 0, 30), 30);
    ASSERT_EQ(put(q, 4, 30, 5), 5);
    EXPECT_EQ(capacity(q), 38u);
    ProcessSystemEvents();
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec.last().value, 38);
}

TEST_F(TsqCallback, EachEventHasItsOwnCallbackAndItsOwnThread) {
    Queue q(8, 4);
    Recorder on_main, on_worker;
    std::atomic<unsigned> worker_id{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        worker_id = KmtGetCurrentThreadID();
        while (!stop) {
            ProcessSystemEvents();
            kez::os::sleep_ms(1);
        }
    });
    ASSERT_TRUE(eventually([&] { return worker_id.load() != 0; }));
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 2, on_worker, worker_id);
    install(q, EVENT_TSQ_QUEUE_SPACE_FREE, 7, on_main);

    ASSERT_EQ(put(q, 4, 0, 3), 3);
    EXPECT_TRUE(eventually([&] { return on_worker.size() == 1; }));
    ProcessSystemEvents();
    EXPECT_EQ(on_main.size(), 0u) << "free space never reached 7 since the installation";
    unsigned char buf[64];
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    ProcessSystemEvents();
    ASSERT_EQ(on_main.size(), 1u);
    EXPECT_EQ(on_main.last().thread, KmtGetCurrentThreadID());
    EXPECT_EQ(on_main.last().value, 7);
    stop = true;
    worker.join();
    ASSERT_EQ(on_worker.size(), 1u);
    EXPECT_EQ(on_worker.last().thread, worker_id.load());
    EXPECT_EQ(on_worker.last().event, unsigned{EVENT_TSQ_ITEMS_IN_QUEUE});
    EXPECT_EQ(on_worker.last().value, 3);
}

// The callback runs with no lock of the queue held: while it waits, another
// thread reads, writes and queries the queue without waiting for it.
struct Blocking {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool go = false;
};

void blocking_callback(KmtTSQHandle, unsigned, int, void *data) {
    auto *b = static_cast<Blocking *>(data);
    std::unique_lock<std::mutex> lock(b->mutex);
    b->entered = true;
    b->cv.notify_all();
    b->cv.wait_for(lock, std::chrono::seconds(30), [b] { return b->go; });
}

TEST_F(TsqCallback, CallbacksRunOutsideTheQueuesLocks) {
    Queue q(8, 4);
    Blocking b;
    ASSERT_EQ(
        KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, blocking_callback, &b, KmtGetCurrentThreadID(), nullptr),
        0);
    ASSERT_EQ(put(q, 4, 0, 2), 2);
    int results[4] = {1, 1, 1, 1};
    std::size_t held = 0;
    std::thread other([&] {
        {
            std::unique_lock<std::mutex> lock(b.mutex);
            b.cv.wait_for(lock, std::chrono::seconds(30), [&b] { return b.entered; });
        }
        unsigned char buf[16];
        // Had the callback a lock, these would time out.
        results[0] = KmtGetTSQAttributeEx(q, ATTR_TSQ_ITEMS_IN_QUEUE, &held, 5000);
        results[1] = KmtWriteTSQData(q, items(4, 2, 1).data(), 1, 5000, nullptr);
        results[2] = KmtReadTSQData(q, buf, 3, 5000, 0);
        results[3] = KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr);
        {
            std::lock_guard<std::mutex> lock(b.mutex);
            b.go = true;
        }
        b.cv.notify_all();
    });
    ProcessSystemEvents();
    other.join();
    EXPECT_TRUE(b.entered);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(held, 2u);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[2], 3);
    EXPECT_EQ(results[3], 0);
}

TEST_F(TsqCallback, ACallbackForAThreadThatNeverProcessesEventsIsNeverCalledHere) {
    Queue q(8, 4);
    Recorder rec;
    unsigned idle_id = 0;
    std::thread([&] { idle_id = KmtGetCurrentThreadID(); }).join();
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, rec, idle_id);
    ASSERT_EQ(put(q, 4, 0, 3), 3);
    ProcessSystemEvents();
    EXPECT_EQ(rec.size(), 0u);
}

}  // namespace
