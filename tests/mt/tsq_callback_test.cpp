// Thread-safe queues: threshold callbacks. They arrive as deferred calls on
// the thread named at installation, once per burst of changes, only while
// installed and only when the value still reaches the threshold when the
// thread gets to them.
#include <gtest/gtest.h>

#include <atomic>
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

// Each recorder is used on one thread only: the thread its calls go to.
using Recorder = std::vector<Call>;
Call last(const Recorder &rec) { return rec.empty() ? Call{nullptr, 0, -1, 0} : rec.back(); }

void ignore_event(KmtTSQHandle, unsigned, int, void *) {}
void record(KmtTSQHandle q, unsigned event, int value, void *data) {
    static_cast<Recorder *>(data)->push_back({q, event, value, KmtGetCurrentThreadID()});
}

// Calls left over from an earlier test belong to discarded queues and end
// silently; draining before and after keeps each test to its own calls.
class TsqCallback : public TsqTest {
  protected:
    void SetUp() override { ProcessSystemEvents(); }
    void TearDown() override { ProcessSystemEvents(); }

    static KmtTSQCallbackID install(KmtTSQHandle q, unsigned event, int threshold, Recorder &rec,
                                    unsigned thread = KmtGetCurrentThreadID()) {
        KmtTSQCallbackID id = nullptr;
        EXPECT_EQ(KmtInstallTSQCallback(q, event, threshold, record, &rec, thread, &id), 0);
        return id;
    }
    static void write_one_by_one(KmtTSQHandle q, std::uint32_t first, int count) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(put(q, 4, first + static_cast<std::uint32_t>(i), 1), 1);
    }
    // Delivers what is pending, then checks the number of calls and the last value.
    static void expect_calls(Recorder &rec, std::size_t calls, int last_value = -1) {
        ProcessSystemEvents();
        ASSERT_EQ(rec.size(), calls);
        EXPECT_EQ(last(rec).value, calls > 0 ? last_value : -1);
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
    for (KmtTSQCallbackID id : {foreign, static_cast<KmtTSQCallbackID>(&made_up), KmtTSQCallbackID{nullptr}})
        EXPECT_EQ(KmtUninstallTSQCallback(q, id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    for (KmtTSQCallbackID id : ids) {
        EXPECT_EQ(KmtUninstallTSQCallback(q, id), 0);
        EXPECT_EQ(KmtUninstallTSQCallback(q, id), KMT_ERR_CALLBACK_NOT_INSTALLED);
    }
    // Each event takes a callback again; a null ID pointer is fine. The
    // discard frees them (ASan's leak check).
    for (unsigned event : events) EXPECT_EQ(KmtInstallTSQCallback(q, event, 0, ignore_event, nullptr, 0, nullptr), 0);
    EXPECT_EQ(KmtUninstallTSQCallback(other, foreign), 0);
}

TEST_F(TsqCallback, ItemsInQueueIsCalledOncePerBurstWithTheCurrentCount) {
    Queue q(64, 4);
    Recorder rec;
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 9);
    expect_calls(rec, 0);  // below the threshold
    write_one_by_one(q, 9, 16);  // passes 10 and goes on to 25
    EXPECT_EQ(rec.size(), 0u) << "nothing runs before the thread processes events";
    expect_calls(rec, 1, 25);
    const Call c = last(rec);
    EXPECT_EQ(c.queue, q.get());
    EXPECT_EQ(c.event, unsigned{EVENT_TSQ_ITEMS_IN_QUEUE});
    EXPECT_EQ(c.thread, KmtGetCurrentThreadID());
    expect_calls(rec, 1, 25);
    write_one_by_one(q, 25, 1);  // the next write above the threshold is a new burst
    expect_calls(rec, 2, 26);
    // The write pointer counts as a write.
    ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_GE(n, 12);
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 12), 0);
    expect_calls(rec, 3, 12);
}

TEST_F(TsqCallback, ItemsInQueueIsNotCalledWhenTheCountDroppedBeforeDelivery) {
    Queue q(64, 4);
    Recorder rec;
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 12);
    expect_items(q, 4, 0, 12);  // emptied by a reader
    expect_calls(rec, 0);
    write_one_by_one(q, 12, 11);
    ASSERT_EQ(KmtFlushTSQ(q, 5, nullptr), 0);  // below the threshold by a flush
    expect_calls(rec, 0);
    write_one_by_one(q, 23, 4);  // the dropped calls left it ready for the next burst
    expect_calls(rec, 1, 10);
}

TEST_F(TsqCallback, AnUninstalledCallbackIsNeverCalledNorRevivedByAReinstallation) {
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
    const std::size_t new_calls = new_rec.size();
    write_one_by_one(q, 0, 12);
    ProcessSystemEvents();
    EXPECT_EQ(old_rec.size(), 0u);
    EXPECT_EQ(new_rec.size(), new_calls);
}

TEST_F(TsqCallback, SpaceFreeFollowsReadsPointerReleasesAndFlushes) {
    Queue q(10, 4);
    Recorder rec;
    ASSERT_EQ(put(q, 4, 0, 10), 10);
    install(q, EVENT_TSQ_QUEUE_SPACE_FREE, 4, rec);
    unsigned char buf[64];
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    expect_calls(rec, 0);
    ASSERT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), 1);
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    expect_calls(rec, 1, 5);
    EXPECT_EQ(last(rec).event, unsigned{EVENT_TSQ_QUEUE_SPACE_FREE});

    ASSERT_EQ(put(q, 4, 10, 5), 5);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    ASSERT_GE(n, 4);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 4), 0);
    expect_calls(rec, 2, 4);
    ASSERT_EQ(put(q, 4, 20, 4), 4);
    ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
    expect_calls(rec, 3, 10);
    // A write that fills the space back up before delivery: not called.
    ASSERT_EQ(put(q, 4, 30, 10), 10);
    ASSERT_EQ(KmtReadTSQData(q, buf, 5, 0, 0), 5);
    ASSERT_EQ(put(q, 4, 40, 5), 5);
    expect_calls(rec, 3, 10);
}

TEST_F(TsqCallback, QueueSizeFollowsResizesAndGrowth) {
    Queue q(10, 4, TSQ_OPT_GROW);
    Recorder rec;
    install(q, EVENT_TSQ_QUEUE_SIZE, 15, rec);
    ASSERT_EQ(resize(q, 12), 0);
    expect_calls(rec, 0);
    ASSERT_EQ(resize(q, 20), 0);
    ASSERT_EQ(resize(q, 30), 0);
    expect_calls(rec, 1, 30);
    EXPECT_EQ(last(rec).event, unsigned{EVENT_TSQ_QUEUE_SIZE});
    // Growth by a write is a resize too.
    ASSERT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{4}), 0);
    ASSERT_EQ(put(q, 4, 0, 30), 30);
    ASSERT_EQ(put(q, 4, 30, 5), 5);
    EXPECT_EQ(capacity(q), 38u);
    expect_calls(rec, 2, 38);
}

TEST_F(TsqCallback, EachEventHasItsOwnCallbackAndItsOwnThread) {
    Queue q(8, 4);
    Recorder on_main, on_worker;
    std::atomic<unsigned> worker_id{0};
    std::thread worker([&] {
        worker_id = KmtGetCurrentThreadID();
        for (int i = 0; i < 10000 && on_worker.empty(); ++i) {
            ProcessSystemEvents();
            kez::os::sleep_ms(1);
        }
    });
    ASSERT_TRUE(eventually([&] { return worker_id.load() != 0; }));
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 2, on_worker, worker_id);
    install(q, EVENT_TSQ_QUEUE_SPACE_FREE, 7, on_main);
    ASSERT_EQ(put(q, 4, 0, 3), 3);
    worker.join();  // once it had its call
    ASSERT_EQ(on_worker.size(), 1u);
    EXPECT_EQ(on_worker[0].thread, worker_id.load());
    EXPECT_EQ(on_worker[0].event, unsigned{EVENT_TSQ_ITEMS_IN_QUEUE});
    EXPECT_EQ(on_worker[0].value, 3);
    expect_calls(on_main, 0);  // free space has not reached 7 since the installation
    unsigned char buf[64];
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    expect_calls(on_main, 1, 7);
    EXPECT_EQ(on_main[0].thread, KmtGetCurrentThreadID());
}

// The callback runs with no lock of the queue held: another thread
// queries, writes, reads and flushes the queue while it runs.
void probe_from_another_thread(KmtTSQHandle q, unsigned, int, void *data) {
    auto *results = static_cast<int *>(data);
    std::thread([q, results] {
        std::size_t held = 0;
        results[0] = KmtGetTSQAttributeEx(q, ATTR_TSQ_ITEMS_IN_QUEUE, &held, 2000);
        if (results[0] != 0) return;  // the callback holds the lock: the rest would wait for ever
        results[1] = static_cast<int>(held);
        results[2] = put(q, 4, 2, 1);
        unsigned char buf[16];
        results[3] = KmtReadTSQData(q, buf, 3, 0, 0);
        results[4] = KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr);
    }).join();
}

TEST_F(TsqCallback, CallbacksRunOutsideTheQueuesLocks) {
    Queue q(8, 4);
    int results[5] = {1, 1, 1, 1, 1};
    ASSERT_EQ(KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, probe_from_another_thread, results,
                                    KmtGetCurrentThreadID(), nullptr),
              0);
    ASSERT_EQ(put(q, 4, 0, 2), 2);
    ProcessSystemEvents();
    const int want[5] = {0, 2, 1, 3, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(results[i], want[i]) << i;
}

}  // namespace
