// Thread-safe queues on one thread: creation, handle checks, parameter
// checks, attributes, access refusal, the behaviour when full (flushing and
// growth), peeking, flushing, and the read and write pointers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "mt/tsq_test_util.h"

namespace {

using namespace kez::test::tsq;

void ignore_event(KmtTSQHandle, unsigned, int, void *) {}

// ---- creation ---------------------------------------------------------------------

class TsqQueue : public TsqTest {};

TEST_F(TsqQueue, BadCountsSizesOptionsAndOutPointerAreRefused) {
    const KmtTSQHandle sentinel = reinterpret_cast<KmtTSQHandle>(static_cast<std::uintptr_t>(0x5EED));
    struct Case {
        int items, item_size;
        unsigned options;
    };
    const Case cases[] = {{0, 8, 0},       {-1, 8, 0},          {INT_MIN, 8, 0}, {4, 0, 0}, {4, -1, 0},
                          {4, INT_MIN, 0}, {4, 8, 3},           {4, 8, 5},       {4, 8, 6}, {4, 8, 7},
                          {4, 8, 8},       {4, 8, 0x80000000u}, {4, 8, ~0u}};
    for (const Case &c : cases) {
        KmtTSQHandle h = sentinel;
        EXPECT_EQ(KmtNewTSQ(c.items, c.item_size, c.options, &h), KMT_ERR_INVALID_PARAMETER)
            << c.items << " x " << c.item_size << " options " << c.options;
        EXPECT_EQ(h, sentinel);
    }
    EXPECT_EQ(KmtNewTSQ(4, 8, 0, nullptr), KMT_ERR_INVALID_PARAMETER);
}

TEST_F(TsqQueue, EveryValidOptionMakesAQueueWithItsDefaults) {
    // The default growth increment is max(1, items / 2).
    const std::pair<int, std::size_t> increments[] = {{1, 1}, {2, 1}, {3, 1}, {7, 3}, {10, 5}};
    for (unsigned options : {0u, 1u, 2u, 4u}) {
        for (auto [items, increment] : increments) {
            Queue q(items, 12, options);
            ASSERT_NE(q.get(), nullptr);
            EXPECT_EQ(capacity(q), static_cast<std::size_t>(items));
            EXPECT_EQ(size_attr(q, ATTR_TSQ_ITEM_SIZE), 12u);
            EXPECT_EQ(items_in(q), 0u);
            EXPECT_EQ(space_free(q), static_cast<std::size_t>(items));
            EXPECT_EQ(flags_attr(q, ATTR_TSQ_QUEUE_OPTIONS), options);
            EXPECT_EQ(flags_attr(q, ATTR_TSQ_ACCESS_REFUSAL), 0u);
            EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
            EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
            EXPECT_EQ(size_attr(q, ATTR_TSQ_GROW_INCREMENT), increment) << items;
        }
    }
}

TEST_F(TsqQueue, AFailedLockOrEventGivesOutOfMemoryAndLeavesNothingBehind) {
    // ASan's leak check at exit sees a lock, event or buffer left behind.
    for (const char *point : {"os.cs_create", "os.event_create"}) {
        const KmtTSQHandle sentinel = reinterpret_cast<KmtTSQHandle>(static_cast<std::uintptr_t>(0x5EED));
        KmtTSQHandle h = sentinel;
        KezTest_ArmFault(point, 1);
        const int result = KmtNewTSQ(8, 16, 0, &h);
        KezTest_ArmFault(point, 0);
        EXPECT_EQ(result, KMT_ERR_OUT_OF_MEMORY) << point;
        EXPECT_EQ(h, sentinel) << point;
        // The slot of the failed queue was given back: a new queue works.
        Queue q(8, 16);
        EXPECT_EQ(put(q, 16, 0, 3), 3);
        expect_items(q, 16, 0, 3);
    }
}

// ---- handles ----------------------------------------------------------------------

// Every queue function applied to a handle, with otherwise valid arguments.
std::vector<std::pair<std::string, std::function<int(KmtTSQHandle)>>> every_function() {
    static unsigned char buffer[64];
    return {
        {"write", [](KmtTSQHandle h) { return KmtWriteTSQData(h, buffer, 1, 0, nullptr); }},
        {"read", [](KmtTSQHandle h) { return KmtReadTSQData(h, buffer, 1, 0, 0); }},
        {"peek", [](KmtTSQHandle h) { return KmtReadTSQData(h, buffer, 1, 0, TSQ_READ_OPT_PEEK); }},
        {"get read pointer",
         [](KmtTSQHandle h) {
             void *p;
             int n;
             return KmtGetTSQReadPtr(h, &p, &n);
         }},
        {"release read pointer", [](KmtTSQHandle h) { return KmtReleaseTSQReadPtr(h, 0); }},
        {"get write pointer",
         [](KmtTSQHandle h) {
             void *p;
             int n;
             return KmtGetTSQWritePtr(h, &p, &n);
         }},
        {"release write pointer", [](KmtTSQHandle h) { return KmtReleaseTSQWritePtr(h, 0); }},
        {"flush", [](KmtTSQHandle h) { return KmtFlushTSQ(h, TSQ_FLUSH_ALL, nullptr); }},
        {"get attribute",
         [](KmtTSQHandle h) {
             std::size_t v;
             return KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, &v);
         }},
        {"get attribute ex",
         [](KmtTSQHandle h) {
             std::size_t v;
             return KmtGetTSQAttributeEx(h, ATTR_TSQ_QUEUE_SIZE, &v, 0);
         }},
        {"set size", [](KmtTSQHandle h) { return KmtSetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, std::size_t{4}); }},
        {"set refusal", [](KmtTSQHandle h) { return KmtSetTSQAttribute(h, ATTR_TSQ_ACCESS_REFUSAL, 0u); }},
        {"install",
         [](KmtTSQHandle h) {
             return KmtInstallTSQCallback(h, EVENT_TSQ_ITEMS_IN_QUEUE, 1, ignore_event, nullptr, 0, nullptr);
         }},
        {"uninstall", [](KmtTSQHandle h) { return KmtUninstallTSQCallback(h, buffer); }},
        {"discard", [](KmtTSQHandle h) { return KmtDiscardTSQ(h); }},
    };
}

TEST_F(TsqQueue, NullOddForeignAndDiscardedHandlesAreInvalid) {
    KmtTSVHandle tsv = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &tsv), 0);
    Queue live(4, 8);
    KmtTSQHandle discarded = nullptr;
    ASSERT_EQ(KmtNewTSQ(4, 8, 0, &discarded), 0);
    ASSERT_EQ(KmtDiscardTSQ(discarded), 0);
    int on_stack = 0;

    const std::pair<const char *, KmtTSQHandle> handles[] = {
        {"0x1", reinterpret_cast<KmtTSQHandle>(static_cast<std::uintptr_t>(1))},
        {"discarded", discarded},
        {"another kind of object", tsv},
        {"inside a live queue", static_cast<char *>(live.get()) + 16},
        {"stack", &on_stack},
    };
    for (const auto &[what, h] : handles)
        for (const auto &[name, call] : every_function())
            EXPECT_EQ(call(h), KMT_ERR_INVALID_HANDLE) << name << " on " << what;
    for (const auto &[name, call] : every_function()) {
        if (name == "discard")
            EXPECT_EQ(call(nullptr), 0) << "discarding null does nothing";
        else
            EXPECT_EQ(call(nullptr), KMT_ERR_INVALID_HANDLE) << name << " on null";
    }
    // None of it touched the live queue or the variable.
    EXPECT_EQ(capacity(live), 4u);
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

// ---- parameters and attributes -------------------------------------------------------

TEST_F(TsqQueue, BadArgumentsAreRefusedWithoutSideEffects) {
    Queue q(4, 8, TSQ_OPT_GROW);
    Queue plain(4, 8);
    unsigned char buf[64] = {};
    void *p = nullptr;
    int n = 0;
    const std::size_t too_many = std::size_t{0x80000000u};
    ASSERT_EQ(put(q, 8, 0, 2), 2);

    EXPECT_EQ(KmtWriteTSQData(q, nullptr, 1, 0, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtWriteTSQData(q, buf, 1, -2, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtWriteTSQData(q, buf, too_many, 0, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, nullptr, 1, 0, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, -2, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, 2), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, 3), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, buf, too_many, 0, 0), KMT_ERR_INVALID_PARAMETER);
    // A peek can never see more than the capacity.
    EXPECT_EQ(KmtReadTSQData(q, buf, 5, 0, TSQ_READ_OPT_PEEK), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReadTSQData(q, buf, 4, 0, TSQ_READ_OPT_PEEK), 2);
    EXPECT_EQ(KmtFlushTSQ(q, -2, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtFlushTSQ(q, 5, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQReadPtr(q, nullptr, &n), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQWritePtr(q, nullptr, &n), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, -1), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, -1), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQAttribute(q, ATTR_TSQ_QUEUE_SIZE, nullptr), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtGetTSQAttributeEx(q, ATTR_TSQ_QUEUE_SIZE, nullptr, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(resize(q, 0), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{0}), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, too_many), KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, nullptr, nullptr, 0, nullptr),
              KMT_ERR_INVALID_PARAMETER);
    EXPECT_EQ(KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, -1, ignore_event, nullptr, 0, nullptr),
              KMT_ERR_INVALID_PARAMETER);

    // Nothing moved, no hold was left behind, the settings stand.
    EXPECT_EQ(items_in(q), 2u);
    EXPECT_EQ(capacity(q), 4u);
    EXPECT_EQ(size_attr(q, ATTR_TSQ_GROW_INCREMENT), 2u);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
    expect_items(q, 8, 0, 2);
    // The increment is settable only on a growing queue.
    EXPECT_EQ(KmtSetTSQAttribute(plain, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), KMT_ERR_INVALID_ATTRIBUTE);
    EXPECT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), 0);
    EXPECT_EQ(size_attr(q, ATTR_TSQ_GROW_INCREMENT), 3u);
}

TEST_F(TsqQueue, UnknownAndReadOnlyAttributesAreRefused) {
    Queue q(4, 8);
    unsigned char value[16];
    for (int attribute : {0, 6, 11, 12, -1, INT_MAX})
        EXPECT_EQ(KmtGetTSQAttribute(q, attribute, value), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
    for (int attribute : {0, ATTR_TSQ_READERS, ATTR_TSQ_WRITERS, ATTR_TSQ_ITEM_SIZE, ATTR_TSQ_ITEMS_IN_QUEUE, 6,
                          ATTR_TSQ_SPACE_FREE, ATTR_TSQ_QUEUE_OPTIONS, 11, -1})
        EXPECT_EQ(KmtSetTSQAttribute(q, attribute, std::size_t{2}), KMT_ERR_INVALID_ATTRIBUTE) << attribute;
    EXPECT_EQ(capacity(q), 4u);
    EXPECT_EQ(size_attr(q, ATTR_TSQ_ITEM_SIZE), 8u);
}

TEST_F(TsqQueue, AttributesWriteExactlyTheWidthOfTheirType) {
    Queue q(6, 8, TSQ_OPT_FLUSH_EXACT_WHEN_FULL);
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
    struct Case {
        int attribute;
        std::size_t width;
        unsigned long long expected;
    };
    const Case cases[] = {{ATTR_TSQ_READERS, sizeof(int), 0},
                          {ATTR_TSQ_WRITERS, sizeof(int), 0},
                          {ATTR_TSQ_QUEUE_SIZE, sizeof(std::size_t), 6},
                          {ATTR_TSQ_ITEM_SIZE, sizeof(std::size_t), 8},
                          {ATTR_TSQ_ITEMS_IN_QUEUE, sizeof(std::size_t), 2},
                          {ATTR_TSQ_SPACE_FREE, sizeof(std::size_t), 4},
                          {ATTR_TSQ_QUEUE_OPTIONS, sizeof(unsigned), TSQ_OPT_FLUSH_EXACT_WHEN_FULL},
                          {ATTR_TSQ_GROW_INCREMENT, sizeof(std::size_t), 3},
                          {ATTR_TSQ_ACCESS_REFUSAL, sizeof(unsigned), TSQ_REFUSE_FLUSHES}};
    for (bool ex : {false, true}) {
        for (const Case &c : cases) {
            unsigned char raw[24];
            std::memset(raw, 0xA5, sizeof raw);
            const int result =
                ex ? KmtGetTSQAttributeEx(q, c.attribute, raw, 0) : KmtGetTSQAttribute(q, c.attribute, raw);
            ASSERT_EQ(result, 0) << c.attribute;
            unsigned long long value = 0;
            std::memcpy(&value, raw, c.width);  // little-endian on every target
            EXPECT_EQ(value, c.expected) << "attribute " << c.attribute;
            for (std::size_t i = c.width; i < sizeof raw; ++i)
                ASSERT_EQ(raw[i], 0xA5) << "attribute " << c.attribute << " wrote byte " << i;
        }
    }
}

// ---- access refusal ----------------------------------------------------------------

TEST_F(TsqQueue, EachRefusalBitStopsItsOwnAccessOnly) {
    Queue q(8, 4, TSQ_OPT_FLUSH_EXACT_WHEN_FULL);
    unsigned char buf[64] = {};
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(put(q, 4, 0, 4), 4);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_READS), 0);
    EXPECT_EQ(flags_attr(q, ATTR_TSQ_ACCESS_REFUSAL), unsigned{TSQ_REFUSE_READS});
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, TSQ_READ_OPT_PEEK), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(put(q, 4, 4, 2), 2);
    EXPECT_EQ(items_in(q), 6u);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_WRITES), 0);
    EXPECT_EQ(KmtWriteTSQData(q, buf, 1, 0, nullptr), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_ACCESS_NOT_PERMITTED);
    expect_items(q, 4, 0, 1);
    // Resizing is no write.
    EXPECT_EQ(resize(q, 9), 0);
    EXPECT_EQ(capacity(q), 9u);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
    EXPECT_EQ(KmtFlushTSQ(q, 1, nullptr), KMT_ERR_ACCESS_NOT_PERMITTED);
    // 5 held, 4 free: a write that fits needs no flush.
    EXPECT_EQ(put(q, 4, 6, 4), 4);
    // A write that would have to flush is refused and changes nothing.
    size_t flushed = 77;
    EXPECT_EQ(put(q, 4, 100, 2, &flushed), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(items_in(q), 9u);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES | TSQ_REFUSE_FLUSHES), 0);
    EXPECT_EQ(capacity(q), 9u);  // queries stay open
    ASSERT_EQ(set_refusal(q, 0), 0);
    expect_items(q, 4, 1, 9);
}

// ---- the edge cases of reading and writing -----------------------------------------

TEST_F(TsqQueue, AReadWithoutWaitingTakesWhatIsThere) {
    Queue q(8, 8);
    ASSERT_EQ(put(q, 8, 0, 3), 3);
    std::vector<unsigned char> got(5 * 8, 0xEE);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 0, 0), 3);
    const auto want = items(8, 0, 3);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 24, got.end(), [](unsigned char c) { return c == 0xEE; }));
    EXPECT_EQ(items_in(q), 0u);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 5, 0, 0), 0);
    // A write without waiting into a plain queue that is too small takes
    // what fits.
    EXPECT_EQ(put(q, 8, 10, 11), 8);
    expect_items(q, 8, 10, 8);
    EXPECT_EQ(put(q, 8, 0, 0), 0);
    EXPECT_EQ(KmtReadTSQData(q, got.data(), 0, 0, 0), 0);
}

TEST_F(TsqQueue, FlushExactDiscardsJustTheOldestItemsItNeeds) {
    Queue q(4, 8, TSQ_OPT_FLUSH_EXACT_WHEN_FULL);
    size_t flushed = 99;
    EXPECT_EQ(put(q, 8, 0, 5, &flushed), KMT_ERR_AUTO_FLUSH_TOO_MANY_ITEMS);
    EXPECT_EQ(items_in(q), 0u);

    ASSERT_EQ(put(q, 8, 0, 4, &flushed), 4);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(put(q, 8, 10, 3, &flushed), 3);
    EXPECT_EQ(flushed, 3u);
    expect_items(q, 8, 3, 1);
    expect_items(q, 8, 10, 3);

    // Two free, three to write: one flushed. A null count is fine.
    ASSERT_EQ(put(q, 8, 20, 2), 2);
    EXPECT_EQ(put(q, 8, 30, 3, &flushed), 3);
    EXPECT_EQ(flushed, 1u);
    expect_items(q, 8, 21, 1);
    expect_items(q, 8, 30, 3);
    EXPECT_EQ(put(q, 8, 40, 1, nullptr), 1);
    expect_items(q, 8, 40, 1);
    // A write of the whole capacity into a full queue flushes everything.
    ASSERT_EQ(put(q, 8, 50, 4), 4);
    EXPECT_EQ(put(q, 8, 60, 4, &flushed), 4);
    EXPECT_EQ(flushed, 4u);
    expect_items(q, 8, 60, 4);
}

TEST_F(TsqQueue, FlushAllDiscardsEverythingWhenAWriteDoesNotFit) {
    Queue q(4, 8, TSQ_OPT_FLUSH_ALL_WHEN_FULL);
    size_t flushed = 99;
    EXPECT_EQ(put(q, 8, 0, 5, &flushed), KMT_ERR_AUTO_FLUSH_TOO_MANY_ITEMS);
    ASSERT_EQ(put(q, 8, 0, 3, &flushed), 3);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(put(q, 8, 10, 1, &flushed), 1);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(put(q, 8, 20, 1, &flushed), 1);
    EXPECT_EQ(flushed, 4u);
    EXPECT_EQ(items_in(q), 1u);
    EXPECT_EQ(put(q, 8, 30, 2, &flushed), 2);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(put(q, 8, 40, 2, &flushed), 2);
    EXPECT_EQ(flushed, 3u);
    expect_items(q, 8, 40, 2);
}

TEST_F(TsqQueue, GrowthAddsWholeIncrementsAndKeepsTheOrder) {
    Queue q(4, 8, TSQ_OPT_GROW);
    ASSERT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{2}), 0);
    ASSERT_EQ(put(q, 8, 0, 4), 4);
    // Five more need three increments of two.
    EXPECT_EQ(put(q, 8, 4, 5), 5);
    EXPECT_EQ(capacity(q), 10u);
    EXPECT_EQ(items_in(q), 9u);
    EXPECT_EQ(space_free(q), 1u);
    EXPECT_EQ(put(q, 8, 9, 1), 1);
    EXPECT_EQ(capacity(q), 10u);
    expect_items(q, 8, 0, 10);

    // Growth of a queue whose items wrap around the end of the ring.
    Queue w(4, 8, TSQ_OPT_GROW);  // default increment 2
    ASSERT_EQ(put(w, 8, 0, 4), 4);
    expect_items(w, 8, 0, 3);
    ASSERT_EQ(put(w, 8, 4, 3), 3);  // 3 at the end of the ring, 4, 5, 6 wrapped
    EXPECT_EQ(put(w, 8, 7, 3), 3);
    EXPECT_EQ(capacity(w), 8u);
    expect_items(w, 8, 3, 7);
}

TEST_F(TsqQueue, APeekLeavesTheItemsForTheNextRead) {
    Queue q(6, 5);
    ASSERT_EQ(put(q, 5, 0, 4), 4);
    expect_items(q, 5, 0, 2);
    ASSERT_EQ(put(q, 5, 4, 4), 4);  // 2..7, wrapped at the end of the ring
    std::vector<unsigned char> peeked(6 * 5, 0xEE);
    EXPECT_EQ(KmtReadTSQData(q, peeked.data(), 3, 0, TSQ_READ_OPT_PEEK), 3);
    peeked.resize(15);
    EXPECT_EQ(peeked, items(5, 2, 3));
    EXPECT_EQ(items_in(q), 6u);
    peeked.assign(30, 0xEE);
    EXPECT_EQ(KmtReadTSQData(q, peeked.data(), 6, 0, TSQ_READ_OPT_PEEK), 6);
    EXPECT_EQ(peeked, items(5, 2, 6));
    EXPECT_EQ(items_in(q), 6u);
    expect_items(q, 5, 2, 6);
    // With fewer items than asked and no time to wait: what is there.
    ASSERT_EQ(put(q, 5, 8, 2), 2);
    peeked.assign(30, 0xEE);
    EXPECT_EQ(KmtReadTSQData(q, peeked.data(), 5, 0, TSQ_READ_OPT_PEEK), 2);
    EXPECT_EQ(items_in(q), 2u);
    expect_items(q, 5, 8, 2);
}

// ---- flushing ----------------------------------------------------------------------

TEST_F(TsqQueue, FlushDiscardsTheOldestItemsAndReportsHowMany) {
    Queue q(8, 3);
    size_t flushed = 99;
    ASSERT_EQ(put(q, 3, 0, 6), 6);
    EXPECT_EQ(KmtFlushTSQ(q, 2, &flushed), 0);
    EXPECT_EQ(flushed, 2u);
    EXPECT_EQ(KmtFlushTSQ(q, 0, &flushed), 0);
    EXPECT_EQ(flushed, 0u);
    EXPECT_EQ(KmtFlushTSQ(q, 1, nullptr), 0);
    expect_items(q, 3, 3, 1);
    // More than there is (up to the capacity) flushes what there is.
    EXPECT_EQ(KmtFlushTSQ(q, 8, &flushed), 0);
    EXPECT_EQ(flushed, 2u);
    EXPECT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, &flushed), 0);
    EXPECT_EQ(flushed, 0u);

    ASSERT_EQ(put(q, 3, 10, 6), 6);
    expect_items(q, 3, 10, 4);
    ASSERT_EQ(put(q, 3, 16, 5), 5);  // 14..17 up to the end of the ring, 18..20 wrapped
    EXPECT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, &flushed), 0);
    EXPECT_EQ(flushed, 7u);
    EXPECT_EQ(items_in(q), 0u);
    // An emptied queue starts over at the front of its ring: the write
    // pointer offers the whole capacity in one piece.
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 0), 0);
    EXPECT_EQ(put(q, 3, 20, 8), 8);
    expect_items(q, 3, 20, 8);
}

// ---- read and write pointers ---------------------------------------------------------

TEST_F(TsqQueue, ReadPointerShowsTheOldestItemsAndConsumesWhatIsReleased) {
    Queue q(8, 6);
    void *p = nullptr;
    int n = 0;
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_QUEUE_EMPTY);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
    ASSERT_EQ(put(q, 6, 0, 5), 5);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::vector<unsigned char>(static_cast<unsigned char *>(p), static_cast<unsigned char *>(p) + 30),
              items(6, 0, 5));
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 1);
    unsigned char buf[64];
    // The holder itself is a reader already.
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), KMT_ERR_READING_IN_PROGRESS);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_READING_IN_PROGRESS);
    // Another thread writes beside it.
    int wrote = -1;
    std::thread([&] { wrote = put(q, 6, 5, 2); }).join();
    EXPECT_EQ(wrote, 2);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 2), 0);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
    EXPECT_EQ(items_in(q), 5u);
    // Releasing nothing ends the hold and consumes nothing.
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 0), 0);
    expect_items(q, 6, 2, 5);
    // No hold: nothing to release.
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 0), KMT_ERR_RELEASE_FROM_OTHER_THREAD);
}

TEST_F(TsqQueue, WritePointerOffersFreeSpaceAndPublishesWhatIsReleased) {
    Queue q(4, 6);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 1);
    const auto data = items(6, 0, 4);
    std::memcpy(p, data.data(), data.size());
    EXPECT_EQ(KmtWriteTSQData(q, data.data(), 1, 0, nullptr), KMT_ERR_WRITING_IN_PROGRESS);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_WRITING_IN_PROGRESS);
    // The holder of the write pointer may not resize the ring under it.
    EXPECT_EQ(resize(q, 8), KMT_ERR_WRITE_POINTER_HOLDER_CANNOT_RESIZE);
    EXPECT_EQ(capacity(q), 4u);
    EXPECT_EQ(items_in(q), 0u);  // nothing is visible before the release
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 4), 0);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_QUEUE_FULL);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
    EXPECT_EQ(resize(q, 8), 0);
    expect_items(q, 6, 0, 4);
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 0), KMT_ERR_RELEASE_FROM_OTHER_THREAD);
}

TEST_F(TsqQueue, ReleasingMoreThanWasHandedOutEndsTheHoldAnyway) {
    Queue q(4, 8);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(put(q, 8, 0, 3), 3);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 5), KMT_ERR_READ_MORE_THAN_AVAILABLE);
    EXPECT_EQ(items_in(q), 0u);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 0);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_QUEUE_EMPTY);
    ASSERT_EQ(put(q, 8, 3, 2), 2);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    EXPECT_EQ(n, 1);  // item 3 sits at the end of the ring, item 4 wrapped
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 1), 0);
    expect_items(q, 8, 4, 1);

    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_EQ(n, 3);  // from index 1 to the end
    const auto data = items(8, 10, 3);
    std::memcpy(p, data.data(), data.size());
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 4), KMT_ERR_WROTE_MORE_THAN_SPACE);
    EXPECT_EQ(items_in(q), 3u);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
    EXPECT_EQ(put(q, 8, 13, 1), 1);
    expect_items(q, 8, 10, 4);
}

TEST_F(TsqQueue, OnlyTheHoldingThreadReleasesAPointer) {
    Queue q(4, 8);
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    // Both pointers on one thread: the write pointer first, as the queue's
    // lock order has it.
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    int read_release = 0, write_release = 0;
    std::thread([&] {
        read_release = KmtReleaseTSQReadPtr(q, 1);
        write_release = KmtReleaseTSQWritePtr(q, 1);
    }).join();
    EXPECT_EQ(read_release, KMT_ERR_RELEASE_FROM_OTHER_THREAD);
    EXPECT_EQ(write_release, KMT_ERR_RELEASE_FROM_OTHER_THREAD);
    EXPECT_EQ(items_in(q), 2u);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_READERS), 1);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 1);
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 0), 0);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 1), 0);
    expect_items(q, 8, 1, 1);
}

TEST_F(TsqQueue, DiscardEndsTheDiscardingThreadsOwnHolds) {
    KmtTSQHandle q = nullptr;
    ASSERT_EQ(KmtNewTSQ(4, 8, 0, &q), 0);
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    void *rp = nullptr, *wp = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQWritePtr(q, &wp, &n), 0);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &rp, &n), 0);
    EXPECT_EQ(KmtDiscardTSQ(q), 0);
    EXPECT_EQ(KmtReleaseTSQReadPtr(q, 1), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtReleaseTSQWritePtr(q, 1), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(KmtDiscardTSQ(q), KMT_ERR_INVALID_HANDLE);
}

}  // namespace
