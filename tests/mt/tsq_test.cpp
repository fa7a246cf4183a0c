// Thread-safe queues, mostly on one thread: creation, handle and parameter
// checks, attributes, access refusal, the read and write pointers, and the
// ring itself: wrap-around, a random mix of operations (with growth and
// flushing when full) against a model, resizing under a held read pointer,
// sizes beyond 32 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "mt/tsq_test_util.h"

namespace {

using namespace kez::test::tsq;

void ignore_event(KmtTSQHandle, unsigned, int, void *) {}
Bytes view(const void *p, std::size_t bytes) {
    return Bytes(static_cast<const unsigned char *>(p), static_cast<const unsigned char *>(p) + bytes);
}
const KmtTSQHandle kSentinel = reinterpret_cast<KmtTSQHandle>(std::uintptr_t{0x5EED});

class TsqQueue : public TsqTest {};

TEST_F(TsqQueue, BadCountsSizesAndOptionsAreRefused) {
    struct Case {
        int items, item_size;
        unsigned options;
    };
    // The last rows exceed 2147483647 bytes; a 32-bit product would wrap.
    const Case cases[] = {{0, 8, 0}, {-1, 8, 0}, {INT_MIN, 8, 0}, {4, 0, 0}, {4, -1, 0}, {4, INT_MIN, 0},
                          {4, 8, 3}, {4, 8, 5}, {4, 8, 6}, {4, 8, 7}, {4, 8, 8}, {4, 8, 0x80000000u}, {4, 8, ~0u},
                          {65536, 32768, 0}, {2, 0x40000000, 1}, {0x40000000, 2, 0}, {3, 0x2AAAAAAB, 1},
                          {0x7FFFFFFF, 0x7FFFFFFF, 0}, {0x10001, 0x10001, 1}, {4, 0x40000001, 0}};
    for (const Case &c : cases) {
        KmtTSQHandle h = kSentinel;
        EXPECT_EQ(KmtNewTSQ(c.items, c.item_size, c.options, &h), KMT_ERR_INVALID_PARAMETER)
            << c.items << " x " << c.item_size << " options " << c.options;
        EXPECT_EQ(h, kSentinel);
    }
    EXPECT_EQ(KmtNewTSQ(4, 8, 0, nullptr), KMT_ERR_INVALID_PARAMETER);
}

TEST_F(TsqQueue, AttributesHoldTheirValuesAndWriteExactlyTheirWidth) {
    // The default growth increment is max(1, items / 2).
    const std::pair<int, std::size_t> increments[] = {{1, 1}, {2, 1}, {3, 1}, {7, 3}, {10, 5}};
    for (unsigned options : {0u, 1u, 2u, 4u}) {
        for (auto [n, increment] : increments) {
            Queue q(n, 12, options);
            EXPECT_EQ(attr<unsigned>(q, ATTR_TSQ_ACCESS_REFUSAL), 0u);
            ASSERT_EQ(put(q, 12, 0, 1), 1);
            ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
            const struct {
                int attribute;
                std::size_t width;
                unsigned long long expected;
            } cases[] = {{ATTR_TSQ_READERS, sizeof(int), 0},
                         {ATTR_TSQ_WRITERS, sizeof(int), 0},
                         {ATTR_TSQ_QUEUE_SIZE, sizeof(std::size_t), unsigned(n)},
                         {ATTR_TSQ_ITEM_SIZE, sizeof(std::size_t), 12},
                         {ATTR_TSQ_ITEMS_IN_QUEUE, sizeof(std::size_t), 1},
                         {ATTR_TSQ_SPACE_FREE, sizeof(std::size_t), unsigned(n - 1)},
                         {ATTR_TSQ_QUEUE_OPTIONS, sizeof(unsigned), options},
                         {ATTR_TSQ_GROW_INCREMENT, sizeof(std::size_t), increment},
                         {ATTR_TSQ_ACCESS_REFUSAL, sizeof(unsigned), TSQ_REFUSE_FLUSHES}};
            for (bool ex : {false, true}) {
                for (const auto &c : cases) {
                    unsigned char raw[24];
                    std::memset(raw, 0xA5, sizeof raw);
                    ASSERT_EQ(ex ? KmtGetTSQAttributeEx(q, c.attribute, raw, 0) : KmtGetTSQAttribute(q, c.attribute, raw),
                              0);
                    unsigned long long value = 0;
                    std::memcpy(&value, raw, c.width);  // little-endian on every target
                    EXPECT_EQ(value, c.expected) << "attribute " << c.attribute << " of " << n << ", options " << options;
                    for (std::size_t i = c.width; i < sizeof raw; ++i)
                        ASSERT_EQ(raw[i], 0xA5) << "attribute " << c.attribute << " wrote byte " << i;
                }
            }
        }
    }
}

TEST_F(TsqQueue, AFailedLockOrEventGivesOutOfMemoryAndLeavesNothingBehind) {
    // ASan's leak check at exit sees a lock, event or buffer left behind.
    for (const char *point : {"os.cs_create", "os.event_create"}) {
        KmtTSQHandle h = kSentinel;
        KezTest_ArmFault(point, 1);
        const int result = KmtNewTSQ(8, 16, 0, &h);
        KezTest_ArmFault(point, 0);
        EXPECT_EQ(result, KMT_ERR_OUT_OF_MEMORY) << point;
        EXPECT_EQ(h, kSentinel) << point;
        Queue q(8, 16);
        EXPECT_EQ(put(q, 16, 0, 3), 3);
        expect_items(q, 16, 0, 3);
    }
}

// Every queue function applied to a handle, with otherwise valid arguments.
std::vector<std::pair<std::string, std::function<int(KmtTSQHandle)>>> every_function() {
    static unsigned char buffer[64];
    static void *p;
    static int n;
    static std::size_t v;
    return {
        {"write", [](KmtTSQHandle h) { return KmtWriteTSQData(h, buffer, 1, 0, nullptr); }},
        {"read", [](KmtTSQHandle h) { return KmtReadTSQData(h, buffer, 1, 0, 0); }},
        {"peek", [](KmtTSQHandle h) { return KmtReadTSQData(h, buffer, 1, 0, TSQ_READ_OPT_PEEK); }},
        {"get read pointer", [](KmtTSQHandle h) { return KmtGetTSQReadPtr(h, &p, &n); }},
        {"release read pointer", [](KmtTSQHandle h) { return KmtReleaseTSQReadPtr(h, 0); }},
        {"get write pointer", [](KmtTSQHandle h) { return KmtGetTSQWritePtr(h, &p, &n); }},
        {"release write pointer", [](KmtTSQHandle h) { return KmtReleaseTSQWritePtr(h, 0); }},
        {"flush", [](KmtTSQHandle h) { return KmtFlushTSQ(h, TSQ_FLUSH_ALL, nullptr); }},
        {"get attribute", [](KmtTSQHandle h) { return KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, &v); }},
        {"get attribute ex", [](KmtTSQHandle h) { return KmtGetTSQAttributeEx(h, ATTR_TSQ_QUEUE_SIZE, &v, 0); }},
        {"set size", [](KmtTSQHandle h) { return resize(h, 4); }},
        {"set refusal", [](KmtTSQHandle h) { return set_refusal(h, 0); }},
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
        {"null", nullptr},
        {"0x1", reinterpret_cast<KmtTSQHandle>(std::uintptr_t{1})},
        {"discarded", discarded},
        {"another kind of object", tsv},
        {"inside a live queue", static_cast<char *>(live.get()) + 16},
        {"stack", &on_stack},
    };
    for (const auto &[what, h] : handles)
        for (const auto &[name, call] : every_function())
            EXPECT_EQ(call(h), h == nullptr && name == "discard" ? 0 : KMT_ERR_INVALID_HANDLE) << name << " on " << what;
    EXPECT_EQ(capacity(live), 4u);  // none of it touched the live queue
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

TEST_F(TsqQueue, BadArgumentsAreRefusedWithoutSideEffects) {
    Queue q(4, 8, TSQ_OPT_GROW);
    unsigned char buf[64] = {};
    void *p = nullptr;
    int n = 0;
    const std::size_t too_many = std::size_t{0x80000000u};
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    const std::pair<const char *, std::function<int()>> calls[] = {
        {"write null", [&] { return KmtWriteTSQData(q, nullptr, 1, 0, nullptr); }},
        {"write time-out -2", [&] { return KmtWriteTSQData(q, buf, 1, -2, nullptr); }},
        {"write 2^31", [&] { return KmtWriteTSQData(q, buf, too_many, 0, nullptr); }},
        {"read null", [&] { return KmtReadTSQData(q, nullptr, 1, 0, 0); }},
        {"read time-out -2", [&] { return KmtReadTSQData(q, buf, 1, -2, 0); }},
        {"read option 2", [&] { return KmtReadTSQData(q, buf, 1, 0, 2); }},
        {"read option 3", [&] { return KmtReadTSQData(q, buf, 1, 0, 3); }},
        {"read 2^31", [&] { return KmtReadTSQData(q, buf, too_many, 0, 0); }},
        {"peek beyond the capacity", [&] { return KmtReadTSQData(q, buf, 5, 0, TSQ_READ_OPT_PEEK); }},
        {"flush -2", [&] { return KmtFlushTSQ(q, -2, nullptr); }},
        {"flush beyond the capacity", [&] { return KmtFlushTSQ(q, 5, nullptr); }},
        {"read pointer null", [&] { return KmtGetTSQReadPtr(q, nullptr, &n); }},
        {"read pointer null count", [&] { return KmtGetTSQReadPtr(q, &p, nullptr); }},
        {"write pointer null", [&] { return KmtGetTSQWritePtr(q, nullptr, &n); }},
        {"write pointer null count", [&] { return KmtGetTSQWritePtr(q, &p, nullptr); }},
        {"release read -1", [&] { return KmtReleaseTSQReadPtr(q, -1); }},
        {"release write -1", [&] { return KmtReleaseTSQWritePtr(q, -1); }},
        {"get attribute null", [&] { return KmtGetTSQAttribute(q, ATTR_TSQ_QUEUE_SIZE, nullptr); }},
        {"get attribute ex null", [&] { return KmtGetTSQAttributeEx(q, ATTR_TSQ_QUEUE_SIZE, nullptr, 0); }},
        {"resize to 0", [&] { return resize(q, 0); }},
        {"increment 0", [&] { return KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{0}); }},
        {"increment 2^31", [&] { return KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, too_many); }},
        {"install null function",
         [&] { return KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, 1, nullptr, nullptr, 0, nullptr); }},
        {"install threshold -1",
         [&] { return KmtInstallTSQCallback(q, EVENT_TSQ_ITEMS_IN_QUEUE, -1, ignore_event, nullptr, 0, nullptr); }},
    };
    for (const auto &[what, call] : calls) EXPECT_EQ(call(), KMT_ERR_INVALID_PARAMETER) << what;
    for (int a : {0, 6, 11, 12, -1, INT_MAX}) EXPECT_EQ(KmtGetTSQAttribute(q, a, buf), KMT_ERR_INVALID_ATTRIBUTE) << a;
    for (int a : {0, ATTR_TSQ_READERS, ATTR_TSQ_WRITERS, ATTR_TSQ_ITEM_SIZE, ATTR_TSQ_ITEMS_IN_QUEUE, 6,
                  ATTR_TSQ_SPACE_FREE, ATTR_TSQ_QUEUE_OPTIONS, 11, -1})
        EXPECT_EQ(KmtSetTSQAttribute(q, a, std::size_t{2}), KMT_ERR_INVALID_ATTRIBUTE) << a;
    EXPECT_EQ(KmtReadTSQData(q, buf, 4, 0, TSQ_READ_OPT_PEEK), 2);  // a peek of the whole capacity is fine
    // Nothing moved, no hold was left behind, the settings stand.
    EXPECT_EQ(capacity(q), 4u);
    EXPECT_EQ(attr(q, ATTR_TSQ_ITEM_SIZE), 8u);
    EXPECT_EQ(attr(q, ATTR_TSQ_GROW_INCREMENT), 2u);
    EXPECT_EQ(readers(q) + writers(q), 0);
    expect_items(q, 8, 0, 2);
    // The increment is settable on a growing queue only.
    Queue plain(4, 8);
    EXPECT_EQ(KmtSetTSQAttribute(plain, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), KMT_ERR_INVALID_ATTRIBUTE);
    EXPECT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), 0);
    EXPECT_EQ(attr(q, ATTR_TSQ_GROW_INCREMENT), 3u);
}

TEST_F(TsqQueue, EachRefusalBitStopsItsOwnAccessOnly) {
    Queue q(8, 4, TSQ_OPT_FLUSH_EXACT_WHEN_FULL);
    unsigned char buf[64] = {};
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(put(q, 4, 0, 4), 4);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_READS), 0);
    EXPECT_EQ(attr<unsigned>(q, ATTR_TSQ_ACCESS_REFUSAL), unsigned{TSQ_REFUSE_READS});
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, 0), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtReadTSQData(q, buf, 1, 0, TSQ_READ_OPT_PEEK), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(put(q, 4, 4, 2), 2);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_WRITES), 0);
    EXPECT_EQ(KmtWriteTSQData(q, buf, 1, 0, nullptr), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_ACCESS_NOT_PERMITTED);
    expect_items(q, 4, 0, 1);
    EXPECT_EQ(resize(q, 9), 0);  // resizing is no write

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
    EXPECT_EQ(KmtFlushTSQ(q, 1, nullptr), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(put(q, 4, 6, 4), 4);  // 5 held, 4 free: no flush needed
    // A write that would have to flush is refused and changes nothing.
    size_t flushed = 77;
    EXPECT_EQ(put(q, 4, 100, 2, &flushed), KMT_ERR_ACCESS_NOT_PERMITTED);
    EXPECT_EQ(flushed, 0u);

    ASSERT_EQ(set_refusal(q, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES | TSQ_REFUSE_FLUSHES), 0);
    EXPECT_EQ(capacity(q), 9u);  // queries stay open
    ASSERT_EQ(set_refusal(q, 0), 0);
    expect_items(q, 4, 1, 9);
}

TEST_F(TsqQueue, PointersHandOutOneSideAndEndTheHoldOnRelease) {
    for (bool read_side : {true, false}) {
        SCOPED_TRACE(read_side ? "read pointer" : "write pointer");
        auto get = read_side ? KmtGetTSQReadPtr : KmtGetTSQWritePtr;
        auto release = read_side ? KmtReleaseTSQReadPtr : KmtReleaseTSQWritePtr;
        auto holders = [&](KmtTSQHandle h) { return read_side ? readers(h) : writers(h); };
        const int in_progress = read_side ? KMT_ERR_READING_IN_PROGRESS : KMT_ERR_WRITING_IN_PROGRESS;
        Queue q(4, 8);
        void *p = nullptr;
        int n = 0;
        unsigned char buf[64];
        // Nothing to hand out: an empty queue to a reader, a full one to a writer.
        ASSERT_EQ(put(q, 8, 0, read_side ? 0 : 4), read_side ? 0 : 4);
        EXPECT_EQ(get(q, &p, &n), read_side ? KMT_ERR_QUEUE_EMPTY : KMT_ERR_QUEUE_FULL);
        EXPECT_EQ(holders(q), 0);
        ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
        // Three items to read from index 0, or three free from index 1 to the end.
        ASSERT_EQ(put(q, 8, 0, read_side ? 3 : 1), read_side ? 3 : 1);
        ASSERT_EQ(get(q, &p, &n), 0);
        ASSERT_EQ(n, 3);
        EXPECT_EQ(holders(q), 1);
        EXPECT_TRUE(!read_side || view(p, 24) == items(8, 0, 3));
        EXPECT_EQ(get(q, &p, &n), in_progress);
        EXPECT_EQ(read_side ? KmtReadTSQData(q, buf, 1, 0, 0) : put(q, 8, 50, 1), in_progress);
        if (!read_side) {
            EXPECT_EQ(resize(q, 8), KMT_ERR_WRITE_POINTER_HOLDER_CANNOT_RESIZE);
        }
        EXPECT_EQ(items_in(q), read_side ? 3u : 1u);
        // Another thread may not release it, but works on the other side.
        int other_release = 0, other_side = 0;
        std::thread([&] {
            other_release = release(q, 1);
            other_side = read_side ? put(q, 8, 3, 1) : KmtReadTSQData(q, buf, 1, 0, 0);
        }).join();
        EXPECT_EQ(other_release, KMT_ERR_RELEASE_FROM_OTHER_THREAD);
        EXPECT_EQ(other_side, 1);
        EXPECT_EQ(holders(q), 1);
        // Releasing more than was handed out takes the whole count and ends the hold.
        if (!read_side) std::memcpy(p, items(8, 10, 3).data(), 24);
        EXPECT_EQ(release(q, 4), read_side ? KMT_ERR_READ_MORE_THAN_AVAILABLE : KMT_ERR_WROTE_MORE_THAN_SPACE);
        EXPECT_EQ(holders(q), 0);
        EXPECT_EQ(release(q, 0), KMT_ERR_RELEASE_FROM_OTHER_THREAD);
        EXPECT_EQ(capacity(q), 4u);
        EXPECT_EQ(items_in(q), read_side ? 1u : 3u);
        expect_items(q, 8, read_side ? 3 : 10, read_side ? 1 : 3);
    }
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
}

// ---- the ring ---------------------------------------------------------------------------

// The queue as a model sees it: the items in order and the ring indices.
struct Model {
    int cap;
    std::deque<std::uint32_t> held;
    int read_index = 0, write_index = 0;

    int free() const { return cap - static_cast<int>(held.size()); }
    void push(std::uint32_t first, int n) {
        for (int k = 0; k < n; ++k) held.push_back(first + static_cast<std::uint32_t>(k));
        write_index = (write_index + n) % cap;
    }
    void pop(int n) {
        held.erase(held.begin(), held.begin() + n);
        read_index = (read_index + n) % cap;
    }
    Bytes front(int item_size, int n) const {
        Bytes out;
        for (int k = 0; k < n; ++k) {
            const Bytes one = items(item_size, held[static_cast<std::size_t>(k)], 1);
            out.insert(out.end(), one.begin(), one.end());
        }
        return out;
    }
};

// Every operation checks its exact result: how much a write takes, grows
// or flushes by the queue's option, the bytes a read, peek or pointer sees
// (also across the end of the ring, with a sentinel after them), and that a
// release beyond what was handed out moves exactly the handed-out count.
TEST_F(TsqQueue, ARandomMixOfOperationsMatchesAModelOfTheQueue) {
    constexpr int kSize = 3;  // the end of the ring falls where no power of two would
    for (unsigned options : {0u, unsigned{TSQ_OPT_GROW}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL},
                             unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}}) {
        Queue q(7, kSize, options);
        Model m{7};
        std::mt19937 rng(20240611 + options);
        auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        std::uint32_t next = 0;
        unsigned char *base = nullptr;  // learned from the first pointer after each change of ring
        auto new_ring = [&](int cap) {
            m.cap = cap;
            m.read_index = 0;
            m.write_index = static_cast<int>(m.held.size()) % cap;
            base = nullptr;
        };
        for (int step = 0; step < 8000; ++step) {
            SCOPED_TRACE("options " + std::to_string(options) + " step " + std::to_string(step));
            const int held = static_cast<int>(m.held.size());
            const int op = pick(0, 7);
            if (op == 0) {  // write
                const int n = pick(0, 10);
                int result = std::min(n, m.free()), gone = 0;
                if (n > m.free() && options == TSQ_OPT_GROW) {
                    const int inc = 3;  // the default for 7 items
                    new_ring(m.cap + (n - m.free() + inc - 1) / inc * inc);
                    result = n;
                } else if (n > m.cap && options != 0) {
                    result = KMT_ERR_AUTO_FLUSH_TOO_MANY_ITEMS;
                } else if (n > m.free() && options != 0) {
                    gone = options == TSQ_OPT_FLUSH_ALL_WHEN_FULL ? held : n - m.free();
                    m.pop(gone);
                    if (m.held.empty()) m.read_index = m.write_index = 0;
                    result = n;
                }
                size_t flushed = 99;
                ASSERT_EQ(put(q, kSize, next, std::size_t(n), &flushed), result);
                ASSERT_EQ(flushed, size_t(gone));
                m.push(next, std::max(result, 0));
                next += static_cast<std::uint32_t>(n);
            } else if (op == 1 || op == 2) {  // read or peek
                const int n = op == 1 ? pick(0, 10) : pick(0, m.cap), want = std::min(n, held);
                Bytes got(std::size_t(n) * kSize + 1, 0xEE);
                ASSERT_EQ(KmtReadTSQData(q, got.data(), std::size_t(n), 0, op == 2 ? TSQ_READ_OPT_PEEK : 0), want);
                ASSERT_EQ(Bytes(got.begin(), got.begin() + want * kSize), m.front(kSize, want));
                ASSERT_EQ(got[std::size_t(want) * kSize], 0xEE);
                if (op == 1) m.pop(want);
            } else if (op == 3 || op == 4) {  // read or write pointer
                const bool rd = op == 3;
                const int avail = rd ? held : m.free(), index = rd ? m.read_index : m.write_index;
                void *p = nullptr;
                int n = -1;
                ASSERT_EQ(rd ? KmtGetTSQReadPtr(q, &p, &n) : KmtGetTSQWritePtr(q, &p, &n),
                          avail > 0 ? 0 : rd ? KMT_ERR_QUEUE_EMPTY : KMT_ERR_QUEUE_FULL);
                if (avail == 0) continue;
                ASSERT_EQ(n, std::min(avail, m.cap - index));
                if (base == nullptr) base = static_cast<unsigned char *>(p) - index * kSize;
                ASSERT_EQ(p, base + index * kSize);
                if (rd) {
                    ASSERT_EQ(view(p, std::size_t(n) * kSize), m.front(kSize, n));
                } else {
                    std::memcpy(p, items(kSize, next, std::size_t(n)).data(), std::size_t(n) * kSize);
                }
                const int release = pick(0, n + 1), moved = std::min(release, n);
                const int over = rd ? KMT_ERR_READ_MORE_THAN_AVAILABLE : KMT_ERR_WROTE_MORE_THAN_SPACE;
                ASSERT_EQ(rd ? KmtReleaseTSQReadPtr(q, release) : KmtReleaseTSQWritePtr(q, release),
                          release > n ? over : 0);
                if (rd) {
                    m.pop(moved);
                } else {
                    m.push(next, moved);
                    next += static_cast<std::uint32_t>(n);
                }
            } else if (op == 5) {  // flush; an emptied queue starts over at the front of its ring
                const int n = pick(-1, m.cap), gone = n < 0 || n >= held ? held : n;
                size_t flushed = 12345;
                ASSERT_EQ(KmtFlushTSQ(q, n, &flushed), 0);
                ASSERT_EQ(flushed, size_t(gone));
                m.pop(gone);
                if (m.held.empty()) m.read_index = m.write_index = 0;
            } else if (op == 6 && pick(0, 9) == 0) {  // resize, now and then; never below what is held
                const int n = pick(1, 12);
                ASSERT_EQ(resize(q, std::size_t(n)), 0);
                new_ring(std::max(n, held));
            } else if (op == 7) {
                ASSERT_EQ(items_in(q), std::size_t(held));
                ASSERT_EQ(attr(q, ATTR_TSQ_SPACE_FREE), std::size_t(m.free()));
                ASSERT_EQ(capacity(q), std::size_t(m.cap));
            }
        }
    }
}

// The ring a held read pointer points into must outlive any number of
// resizes until the release, and be freed then: ASan reports a read of
// freed memory or a ring that is never freed.
TEST_F(TsqQueue, AHeldReadPointerSurvivesResizesAndADiscard) {
    constexpr int kSize = 16;
    Queue q(8, kSize);
    ASSERT_EQ(put(q, kSize, 0, 6), 6);
    expect_items(q, kSize, 0, 3);
    ASSERT_EQ(put(q, kSize, 6, 4), 4);  // 3..7 up to the end, 8, 9 wrapped
    void *p = nullptr;
    int n = 0;
    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
    ASSERT_EQ(n, 5);
    const Bytes seen = items(kSize, 3, 5);
    ASSERT_EQ(view(p, seen.size()), seen);
    int results[3] = {-1, -1, -1};
    std::thread([&] {
        results[0] = resize(q, 20);
        results[1] = put(q, kSize, 10, 5);
        results[2] = resize(q, 9);  // below the 12 items held
    }).join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 5);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(capacity(q), 12u);
    EXPECT_EQ(view(p, seen.size()), seen);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 5), 0);
    expect_items(q, kSize, 8, 7);

    // A discard from another thread waits for the holder, whose release
    // then finds the queue gone and ends the hold.
    KmtTSQHandle h = nullptr;
    ASSERT_EQ(KmtNewTSQ(4, kSize, 0, &h), 0);
    ASSERT_EQ(put(h, kSize, 0, 4), 4);
    ASSERT_EQ(KmtGetTSQReadPtr(h, &p, &n), 0);
    std::thread other([&] {
        results[0] = resize(h, 6);
        results[1] = resize(h, 8);
        results[2] = KmtDiscardTSQ(h);
    });
    std::size_t size = 0;
    EXPECT_TRUE(eventually([&] { return KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, &size) == KMT_ERR_INVALID_HANDLE; }));
    EXPECT_EQ(view(p, 4 * kSize), items(kSize, 0, 4));
    EXPECT_EQ(KmtReleaseTSQReadPtr(h, 4), KMT_ERR_INVALID_HANDLE);
    other.join();
    EXPECT_EQ(results[0] | results[1] | results[2], 0);
}

TEST_F(TsqQueue, RingsBeyondTheLargestSizeAreRefusedAndLeaveTheQueueWhole) {
    constexpr int kSize = 1024;
    Queue q(4, kSize);
    ASSERT_EQ(put(q, kSize, 0, 3), 3);
    for (std::size_t n : {std::size_t{0x7FFFFFFF} / kSize + 1, std::size_t{0x80000000u}, std::size_t(0x100000004ull),
                          ~std::size_t{0}})
        EXPECT_EQ(resize(q, n), KMT_ERR_INVALID_PARAMETER) << n;
    EXPECT_EQ(resize(q, std::size_t{0x7FFFFFFF} / kSize / 256), 0);  // a large ring that fits
    EXPECT_EQ(resize(q, 4), 0);
    EXPECT_EQ(put(q, kSize, 3, 2), 1);  // fill to the byte: ASan sees a write past the end
    expect_items(q, kSize, 0, 4);

    // Growth: one increment more would make 2048 items of 1 MiB, 2^31 bytes.
    constexpr int kBig = 1 << 20;
    Queue g(1, kBig, TSQ_OPT_GROW);
    ASSERT_EQ(KmtSetTSQAttribute(g, ATTR_TSQ_GROW_INCREMENT, std::size_t{2047}), 0);
    ASSERT_EQ(put(g, kBig, 0, 1), 1);
    EXPECT_EQ(put(g, kBig, 1, 2), KMT_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(capacity(g), 1u);
    EXPECT_EQ(writers(g), 0);
    ASSERT_EQ(KmtSetTSQAttribute(g, ATTR_TSQ_GROW_INCREMENT, std::size_t{2}), 0);
    EXPECT_EQ(put(g, kBig, 1, 2), 2);
    EXPECT_EQ(capacity(g), 3u);
    expect_items(g, kBig, 0, 3);
}

}  // namespace
