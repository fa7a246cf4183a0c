// Thread-safe queues: arguments and attributes, the ring against a model,
// pointers and resizes, threshold callbacks, waiting, and threads under load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"

namespace {

using kez::test::eventually;
using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;
const auto in_thread = [](auto fn) { return std::async(std::launch::async, std::move(fn)); };

struct Queue {
    KmtTSQHandle h = nullptr;
    Queue(int items, int item_size, unsigned options = 0) { EXPECT_EQ(KmtNewTSQ(items, item_size, options, &h), 0); }
    ~Queue() { EXPECT_EQ(KmtDiscardTSQ(h), 0); }
    KmtTSQHandle take() { return std::exchange(h, nullptr); }  // for a test that discards it
    operator KmtTSQHandle() const { return h; }
};

template <class T = std::size_t> T attr(KmtTSQHandle q, int attribute) {
    T value{};
    EXPECT_EQ(KmtGetTSQAttribute(q, attribute, &value), 0) << "attribute " << attribute;
    return value;
}
std::size_t items_in(KmtTSQHandle q) { return attr(q, ATTR_TSQ_ITEMS_IN_QUEUE); }
std::size_t capacity(KmtTSQHandle q) { return attr(q, ATTR_TSQ_QUEUE_SIZE); }
int readers(KmtTSQHandle q) { return attr<int>(q, ATTR_TSQ_READERS); }
int writers(KmtTSQHandle q) { return attr<int>(q, ATTR_TSQ_WRITERS); }
int resize(KmtTSQHandle q, std::size_t items) { return KmtSetTSQAttribute(q, ATTR_TSQ_QUEUE_SIZE, items); }
int set_refusal(KmtTSQHandle q, unsigned bits) { return KmtSetTSQAttribute(q, ATTR_TSQ_ACCESS_REFUSAL, bits); }
Bytes view(const void *p, std::size_t n) { auto b = static_cast<const unsigned char *>(p); return Bytes(b, b + n); }

// Item n of `size` bytes: n in its first four, a pattern of n and place; a shifted, repeated or torn item shows.
Bytes items(int size, std::uint32_t first, std::size_t count) {
    Bytes out;
    for (std::uint32_t n = first; n != first + count; ++n)
        for (unsigned i = 0; i < unsigned(size); ++i)
            out.push_back((size >= 4 && i < 4 ? n >> 8 * i : n * 31 + i * 7) & 0xFF);
    return out;
}

int put(KmtTSQHandle q, int size, std::uint32_t first, std::size_t count, size_t *flushed = nullptr, int timeout = 0) {
    Bytes data = items(size, first, count + 1);  // one more: never a null buffer, also for 0 items
    return KmtWriteTSQData(q, data.data(), count, timeout, flushed);
}

// Reads `count` items, expects items first, first + 1, ... and nothing written past them.
void expect_items(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count, int timeout = 0) {
    Bytes got(static_cast<std::size_t>(item_size) * (count + 1), 0xEE), want = items(item_size, first, count);
    want.resize(got.size(), 0xEE);
    ASSERT_EQ(KmtReadTSQData(q, got.data(), count, timeout, 0), static_cast<int>(count));
    EXPECT_EQ(got, want) << "items from " << first;
}

class TsqQueue : public testing::Test {
  protected:
    kez::test::Watchdog watchdog_{std::chrono::seconds(120), "thread-safe queue test"};
    void *p = nullptr;  // for the pointer calls
    int n = 0;
    unsigned char buf[64] = {};
};
using TsqThreads = TsqQueue;

void ignore_event(KmtTSQHandle, unsigned, int, void *) {}
// A call on the queue h with its text, for tables of calls.
using TsqCall = std::pair<std::string, std::function<int(KmtTSQHandle)>>;
#define CALL(...) TsqCall{#__VA_ARGS__, [&](KmtTSQHandle h) { return __VA_ARGS__; }}
const KmtTSQHandle kSentinel = reinterpret_cast<KmtTSQHandle>(std::uintptr_t{0x5EED});

TEST_F(TsqQueue, CreationRefusesBadCountsSizesAndOptionsAndFailsWithoutLeaks) {
    struct Case { int items, item_size; unsigned options; };
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
    // A failed lock or event: ASan's leak check at exit sees a lock, event or buffer left behind.
    for (const char *point : {"os.cs_create", "os.event_create"}) {
        KmtTSQHandle h = kSentinel;
        KezTest_ArmFault(point, 1);
        const int result = KmtNewTSQ(8, 16, 0, &h);
        KezTest_ArmFault(point, 0);
        EXPECT_EQ(result, KMT_ERR_OUT_OF_MEMORY) << point;
        EXPECT_EQ(h, kSentinel) << point;
        EXPECT_EQ(put(Queue(8, 16), 16, 0, 3), 3);
    }
}

TEST_F(TsqQueue, AttributesHoldTheirValuesAndWriteExactlyTheirWidth) {
    // The default growth increment is max(1, items / 2).
    const std::pair<int, std::size_t> increments[] = {{1, 1}, {2, 1}, {3, 1}, {7, 3}, {10, 5}};
    for (unsigned options : {0u, 1u, 2u, 4u})
        for (auto [count, increment] : increments) {
            Queue q(count, 12, options);
            EXPECT_EQ(attr<unsigned>(q, ATTR_TSQ_ACCESS_REFUSAL), 0u);
            ASSERT_EQ(put(q, 12, 0, 1), 1);
            ASSERT_EQ(set_refusal(q, TSQ_REFUSE_FLUSHES), 0);
            const std::size_t z = sizeof(std::size_t), i = sizeof(int), u = sizeof(unsigned);
            const std::tuple<int, std::size_t, unsigned long long> cases[] = {
                {ATTR_TSQ_READERS, i, 0}, {ATTR_TSQ_WRITERS, i, 0}, {ATTR_TSQ_QUEUE_SIZE, z, 0ull + count},
                {ATTR_TSQ_ITEM_SIZE, z, 12}, {ATTR_TSQ_ITEMS_IN_QUEUE, z, 1}, {ATTR_TSQ_SPACE_FREE, z, count - 1ull},
                {ATTR_TSQ_QUEUE_OPTIONS, u, options}, {ATTR_TSQ_GROW_INCREMENT, z, increment},
                {ATTR_TSQ_ACCESS_REFUSAL, u, TSQ_REFUSE_FLUSHES}};
            for (bool ex : {false, true})
                for (const auto &[a, width, expected] : cases) {
                    Bytes raw(24, 0xA5);
                    ASSERT_EQ(ex ? KmtGetTSQAttributeEx(q, a, raw.data(), 0) : KmtGetTSQAttribute(q, a, raw.data()), 0);
                    unsigned long long value = 0;
                    std::memcpy(&value, raw.data(), width);  // little-endian on every target
                    EXPECT_EQ(value, expected) << "attribute " << a << " of " << count << ", options " << options;
                    EXPECT_EQ(Bytes(raw.begin() + long(width), raw.end()), Bytes(24 - width, 0xA5)) << a;
                }
        }
}

TEST_F(TsqQueue, NullOddForeignAndDiscardedHandlesAreInvalid) {
    const TsqCall calls[] = {
        CALL(KmtWriteTSQData(h, buf, 1, 0, nullptr)), CALL(KmtReadTSQData(h, buf, 1, 0, 0)),
        CALL(KmtReadTSQData(h, buf, 1, 0, TSQ_READ_OPT_PEEK)), CALL(KmtGetTSQReadPtr(h, &p, &n)),
        CALL(KmtReleaseTSQReadPtr(h, 0)), CALL(KmtGetTSQWritePtr(h, &p, &n)), CALL(KmtReleaseTSQWritePtr(h, 0)),
        CALL(KmtFlushTSQ(h, TSQ_FLUSH_ALL, nullptr)), CALL(KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, buf)),
        CALL(KmtGetTSQAttributeEx(h, ATTR_TSQ_QUEUE_SIZE, buf, 0)), CALL(resize(h, 4)), CALL(set_refusal(h, 0)),
        CALL(KmtInstallTSQCallback(h, EVENT_TSQ_ITEMS_IN_QUEUE, 1, ignore_event, 0, 0, 0)),
        CALL(KmtUninstallTSQCallback(h, buf)), CALL(KmtDiscardTSQ(h))};
    KmtTSVHandle tsv = nullptr;
    ASSERT_EQ(KmtNewTSV(8, &tsv), 0);
    Queue live(4, 8);
    const KmtTSQHandle discarded = Queue(4, 8).h;  // discarded at once
    int on_stack = 0;
    const std::pair<const char *, KmtTSQHandle> handles[] = {
        {"null", nullptr}, {"0x1", reinterpret_cast<KmtTSQHandle>(std::uintptr_t{1})}, {"discarded", discarded},
        {"another kind of object", tsv}, {"inside a live queue", static_cast<char *>(live.h) + 16},
        {"stack", &on_stack}};
    for (const auto &[what, h] : handles)
        for (const auto &[name, call] : calls)
            EXPECT_EQ(call(h), h || name != "KmtDiscardTSQ(h)" ? KMT_ERR_INVALID_HANDLE : 0) << name << " on " << what;
    EXPECT_EQ(capacity(live), 4u);  // none of it touched the live queue
    EXPECT_EQ(KmtDiscardTSV(tsv), 0);
}

TEST_F(TsqQueue, BadArgumentsOversizedRingsAndEachRefusalBitAreRefusedWithoutSideEffects) {
    Queue q(4, 8, TSQ_OPT_GROW);
    const std::size_t too_many = std::size_t{0x80000000u};
    ASSERT_EQ(put(q, 8, 0, 2), 2);
    const TsqCall calls[] = {
        CALL(KmtWriteTSQData(h, nullptr, 1, 0, nullptr)), CALL(KmtWriteTSQData(h, buf, 1, -2, nullptr)),
        CALL(KmtWriteTSQData(h, buf, too_many, 0, nullptr)), CALL(KmtReadTSQData(h, nullptr, 1, 0, 0)),
        CALL(KmtReadTSQData(h, buf, 1, -2, 0)), CALL(KmtReadTSQData(h, buf, 1, 0, 2)),
        CALL(KmtReadTSQData(h, buf, too_many, 0, 0)), CALL(KmtReadTSQData(h, buf, 5, 0, TSQ_READ_OPT_PEEK)),
        CALL(KmtFlushTSQ(h, -2, nullptr)), CALL(KmtFlushTSQ(h, 5, nullptr)), CALL(KmtGetTSQReadPtr(h, nullptr, &n)),
        CALL(KmtGetTSQReadPtr(h, &p, nullptr)), CALL(KmtGetTSQWritePtr(h, nullptr, &n)),
        CALL(KmtGetTSQWritePtr(h, &p, nullptr)), CALL(KmtReleaseTSQReadPtr(h, -1)), CALL(KmtReleaseTSQWritePtr(h, -1)),
        CALL(KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, nullptr)), CALL(resize(h, 0)),
        CALL(KmtGetTSQAttributeEx(h, ATTR_TSQ_QUEUE_SIZE, nullptr, 0)),
        CALL(KmtSetTSQAttribute(h, ATTR_TSQ_GROW_INCREMENT, std::size_t{0})),
        CALL(KmtSetTSQAttribute(h, ATTR_TSQ_GROW_INCREMENT, too_many)),
        CALL(KmtInstallTSQCallback(h, EVENT_TSQ_ITEMS_IN_QUEUE, 1, 0, 0, 0, 0)),
        CALL(KmtInstallTSQCallback(h, 1, -1, ignore_event, 0, 0, 0)),
        // Rings beyond 2147483647 bytes
        CALL(resize(h, 0x7FFFFFFF / 8 + 1)), CALL(resize(h, 0x80000000u)), CALL(resize(h, std::size_t(0x100000004ull))),
        CALL(resize(h, ~std::size_t{0}))};
    for (const auto &[what, call] : calls) EXPECT_EQ(call(q), KMT_ERR_INVALID_PARAMETER) << what;
    for (int a : {0, 6, 11, 12, -1, INT_MAX}) EXPECT_EQ(KmtGetTSQAttribute(q, a, buf), KMT_ERR_INVALID_ATTRIBUTE) << a;
    for (int a : {0, ATTR_TSQ_READERS, ATTR_TSQ_WRITERS, ATTR_TSQ_ITEM_SIZE, ATTR_TSQ_ITEMS_IN_QUEUE, 6,
                  ATTR_TSQ_SPACE_FREE, ATTR_TSQ_QUEUE_OPTIONS, 11, -1})
        EXPECT_EQ(KmtSetTSQAttribute(q, a, std::size_t{2}), KMT_ERR_INVALID_ATTRIBUTE) << a;
    EXPECT_EQ(KmtReadTSQData(q, buf, 4, 0, TSQ_READ_OPT_PEEK), 2);  // a peek of the whole capacity is fine
    // Nothing moved, no hold was left behind, the settings stand: size, item size, increment, holders.
    EXPECT_EQ((Ints{int(capacity(q)), int(attr(q, ATTR_TSQ_ITEM_SIZE)), int(attr(q, ATTR_TSQ_GROW_INCREMENT)),
                    readers(q) + writers(q)}), (Ints{4, 8, 2, 0}));
    expect_items(q, 8, 0, 2);
    // The increment is settable on a growing queue only.
    Queue plain(4, 8);
    EXPECT_EQ(KmtSetTSQAttribute(plain, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), KMT_ERR_INVALID_ATTRIBUTE);
    EXPECT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{3}), 0);
    EXPECT_EQ(attr(q, ATTR_TSQ_GROW_INCREMENT), 3u);
    ASSERT_EQ(put(plain, 8, 0, 3), 3);
    EXPECT_EQ(resize(plain, 0x7FFFFFFF / 8 / 256), 0);  // a large ring that fits
    EXPECT_EQ(resize(plain, 4), 0);
    EXPECT_EQ(put(plain, 8, 3, 2), 1);  // fill to the byte: ASan sees a write past the end
    expect_items(plain, 8, 0, 4);
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
    // Each refusal bit stops its own access only.
    Queue f(8, 4, TSQ_OPT_FLUSH_EXACT_WHEN_FULL);
    const int no = KMT_ERR_ACCESS_NOT_PERMITTED, unheld = KMT_ERR_RELEASE_FROM_OTHER_THREAD;
    ASSERT_EQ(put(f, 4, 0, 4), 4);
    for (unsigned bit : {TSQ_REFUSE_READS, TSQ_REFUSE_WRITES, TSQ_REFUSE_FLUSHES}) {
        SCOPED_TRACE(bit);
        const bool r = bit == TSQ_REFUSE_READS, w = bit == TSQ_REFUSE_WRITES;
        ASSERT_EQ(set_refusal(f, bit), 0);
        EXPECT_EQ(attr<unsigned>(f, ATTR_TSQ_ACCESS_REFUSAL), bit);
        EXPECT_EQ((Ints{KmtReadTSQData(f, buf, 0, 0, 0), KmtReadTSQData(f, buf, 1, 0, TSQ_READ_OPT_PEEK),
                        KmtGetTSQReadPtr(f, &p, &n), KmtReleaseTSQReadPtr(f, 0), KmtWriteTSQData(f, buf, 0, 0, nullptr),
                        KmtGetTSQWritePtr(f, &p, &n), KmtReleaseTSQWritePtr(f, 0), KmtFlushTSQ(f, 0, nullptr)}),
                  (Ints{r ? no : 0, r ? no : 1, r ? no : 0, r ? unheld : 0, w ? no : 0, w ? no : 0, w ? unheld : 0,
                        r || w ? 0 : no}));
        EXPECT_EQ(resize(f, 8), 0);  // a resize is none of them
    }
    // A write that would have to flush is refused and changes nothing.
    EXPECT_EQ(put(f, 4, 4, 4), 4);
    size_t flushed = 77;
    EXPECT_EQ(put(f, 4, 100, 2, &flushed), no);
    EXPECT_EQ(flushed, 0u);
    ASSERT_EQ(set_refusal(f, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES | TSQ_REFUSE_FLUSHES), 0);
    EXPECT_EQ(capacity(f), 8u);  // queries stay open
    ASSERT_EQ(set_refusal(f, 0), 0);
    expect_items(f, 4, 0, 8);
}

TEST_F(TsqQueue, PointersHandOutOneSideKeepTheirRingAndEndTheHoldOnReleaseOrDiscard) {
    for (bool read_side : {true, false}) {
        SCOPED_TRACE(read_side ? "read pointer" : "write pointer");
        auto get = read_side ? KmtGetTSQReadPtr : KmtGetTSQWritePtr;
        auto release = read_side ? KmtReleaseTSQReadPtr : KmtReleaseTSQWritePtr;
        auto holders = [&](KmtTSQHandle h) { return read_side ? readers(h) : writers(h); };
        const int in_progress = read_side ? KMT_ERR_READING_IN_PROGRESS : KMT_ERR_WRITING_IN_PROGRESS;
        const KmtTSQHandle q = Queue(4, 8).take();
        // Three items to read from index 0, or three free from index 1 to the end.
        ASSERT_EQ(put(q, 8, 0, read_side ? 3 : 1), read_side ? 3 : 1);
        ASSERT_EQ((Ints{get(q, &p, &n), n, holders(q)}), (Ints{0, 3, 1}));
        EXPECT_TRUE(!read_side || view(p, 24) == items(8, 0, 3));
        EXPECT_EQ(get(q, &p, &n), in_progress);
        EXPECT_EQ(read_side ? KmtReadTSQData(q, buf, 1, 0, 0) : put(q, 8, 50, 1), in_progress);
        if (!read_side) { EXPECT_EQ(resize(q, 8), KMT_ERR_WRITE_POINTER_HOLDER_CANNOT_RESIZE); }
        EXPECT_EQ(items_in(q), read_side ? 3u : 1u);
        // Another thread may not release it, but works on the other side.
        EXPECT_EQ(in_thread([&] {
                      return Ints{release(q, 1), read_side ? put(q, 8, 3, 1) : KmtReadTSQData(q, buf, 1, 0, 0)};
                  }).get(), (Ints{KMT_ERR_RELEASE_FROM_OTHER_THREAD, 1}));
        EXPECT_EQ(holders(q), 1);
        // Releasing more than was handed out takes the whole count and ends the hold.
        if (!read_side) std::memcpy(p, items(8, 10, 3).data(), 24);
        EXPECT_EQ(release(q, 4), read_side ? KMT_ERR_READ_MORE_THAN_AVAILABLE : KMT_ERR_WROTE_MORE_THAN_SPACE);
        EXPECT_EQ(release(q, 0), KMT_ERR_RELEASE_FROM_OTHER_THREAD);
        EXPECT_EQ((Ints{holders(q), int(capacity(q)), int(items_in(q))}), (Ints{0, 4, read_side ? 1 : 3}));
        expect_items(q, 8, read_side ? 3 : 10, read_side ? 1 : 3);
        // The holder's discard ends its holds (ASan's leak check sees a lock or pin left).
        ASSERT_EQ(put(q, 8, 0, 1), 1);
        ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
        ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
        EXPECT_EQ(KmtDiscardTSQ(q), 0);
        EXPECT_EQ(release(q, 1), KMT_ERR_INVALID_HANDLE);
    }
    // The ring a held read pointer points into must outlive any number of resizes until the release, and
    // be freed then: ASan reports a read of freed memory or a ring that is never freed.
    constexpr int kSize = 16;
    Queue q(8, kSize);
    ASSERT_EQ(put(q, kSize, 0, 6), 6);
    expect_items(q, kSize, 0, 3);
    ASSERT_EQ(put(q, kSize, 6, 4), 4);  // 3..7 up to the end, 8, 9 wrapped
    ASSERT_EQ((Ints{KmtGetTSQReadPtr(q, &p, &n), n}), (Ints{0, 5}));
    const Bytes seen = items(kSize, 3, 5);
    ASSERT_EQ(view(p, seen.size()), seen);
    // The resize to 9 stops at the 12 items held.
    const Ints others = in_thread([&] { return Ints{resize(q, 20), put(q, kSize, 10, 5), resize(q, 9)}; }).get();
    EXPECT_EQ(others, (Ints{0, 5, 0}));
    EXPECT_EQ(capacity(q), 12u);
    EXPECT_EQ(view(p, seen.size()), seen);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 5), 0);
    expect_items(q, kSize, 8, 7);
    // A discard from another thread waits for the holder, whose release then finds the queue gone.
    const KmtTSQHandle h = Queue(4, kSize).take();
    ASSERT_EQ(put(h, kSize, 0, 4), 4);
    ASSERT_EQ(KmtGetTSQReadPtr(h, &p, &n), 0);
    auto other = in_thread([&] { return Ints{resize(h, 6), resize(h, 8), KmtDiscardTSQ(h)}; });
    EXPECT_TRUE(eventually([&] { return KmtGetTSQAttribute(h, ATTR_TSQ_READERS, &n) == KMT_ERR_INVALID_HANDLE; }));
    EXPECT_EQ(view(p, 4 * kSize), items(kSize, 0, 4));
    EXPECT_EQ(KmtReleaseTSQReadPtr(h, 4), KMT_ERR_INVALID_HANDLE);
    EXPECT_EQ(other.get(), (Ints{0, 0, 0}));
}

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
    void pop(int n) { held.erase(held.begin(), held.begin() + n), read_index = (read_index + n) % cap; }
    void flush(int n) { pop(n); if (held.empty()) read_index = write_index = 0; }  // an emptied ring starts over
    void resize(int to) { cap = to, read_index = 0, write_index = static_cast<int>(held.size()) % to; }
    Bytes front(int item_size, int n) const {
        Bytes out;
        for (int k = 0; k < n; ++k)
            for (unsigned char b : items(item_size, held[static_cast<std::size_t>(k)], 1)) out.push_back(b);
        return out;
    }
};

// Every operation checks its exact result, the bytes a read, peek or pointer sees (with a sentinel after
// them), and that a release beyond what was handed out moves exactly the handed-out count.
TEST_F(TsqQueue, ARandomMixOfOperationsMatchesAModelOfTheQueue) {
    constexpr int kSize = 3;  // the end of the ring falls where no power of two would
    for (unsigned options : {0u, unsigned{TSQ_OPT_GROW}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL},
                             unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}}) {
        Queue q(7, kSize, options);
        Model m{7};
        std::mt19937 rng(20240611 + options);
        auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        std::uint32_t next = 0;
        for (int step = 0; step < 8000; ++step) {
            SCOPED_TRACE("options " + std::to_string(options) + " step " + std::to_string(step));
            const int held = static_cast<int>(m.held.size()), op = pick(0, 7);
            if (op == 0) {  // write: grows by whole increments of 3 (the default for 7 items), or flushes
                const int k = pick(0, 10), short_by = k - m.free(), grow = options == TSQ_OPT_GROW;
                const bool flushes = options > TSQ_OPT_GROW && short_by > 0 && k <= m.cap;
                const int gone = flushes ? (options == TSQ_OPT_FLUSH_ALL_WHEN_FULL ? held : short_by) : 0;
                const int result = options > TSQ_OPT_GROW && k > m.cap ? KMT_ERR_AUTO_FLUSH_TOO_MANY_ITEMS
                                   : grow || flushes                  ? k
                                                                      : std::min(k, m.free());
                if (grow && short_by > 0) m.resize(m.cap + (short_by + 2) / 3 * 3);
                if (gone > 0) m.flush(gone);
                size_t flushed = 99;
                ASSERT_EQ(put(q, kSize, next, std::size_t(k), &flushed), result);
                ASSERT_EQ(flushed, size_t(gone));
                m.push(next, std::max(result, 0));
                next += static_cast<std::uint32_t>(k);
            } else if (op == 1 || op == 2) {  // read or peek
                const int k = op == 1 ? pick(0, 10) : pick(0, m.cap), want = std::min(k, held);
                Bytes got(std::size_t(k) * kSize + 1, 0xEE);
                ASSERT_EQ(KmtReadTSQData(q, got.data(), std::size_t(k), 0, op == 2 ? TSQ_READ_OPT_PEEK : 0), want);
                ASSERT_EQ(Bytes(got.begin(), got.begin() + want * kSize), m.front(kSize, want));
                ASSERT_EQ(got[std::size_t(want) * kSize], 0xEE);
                if (op == 1) m.pop(want);
            } else if (op == 3 || op == 4) {  // read or write pointer
                const bool rd = op == 3;
                const int avail = rd ? held : m.free(), index = rd ? m.read_index : m.write_index;
                int k = -1;
                ASSERT_EQ(rd ? KmtGetTSQReadPtr(q, &p, &k) : KmtGetTSQWritePtr(q, &p, &k),
                          avail > 0 ? 0 : rd ? KMT_ERR_QUEUE_EMPTY : KMT_ERR_QUEUE_FULL);
                if (avail == 0) continue;
                ASSERT_EQ(k, std::min(avail, m.cap - index));
                if (rd) ASSERT_EQ(view(p, std::size_t(k) * kSize), m.front(kSize, k));
                else std::memcpy(p, items(kSize, next, std::size_t(k)).data(), std::size_t(k) * kSize);
                const int release = pick(0, k + 1), moved = std::min(release, k);
                const int over = rd ? KMT_ERR_READ_MORE_THAN_AVAILABLE : KMT_ERR_WROTE_MORE_THAN_SPACE;
                ASSERT_EQ(rd ? KmtReleaseTSQReadPtr(q, release) : KmtReleaseTSQWritePtr(q, release),
                          release > k ? over : 0);
                if (rd) m.pop(moved);
                else m.push(next, moved);
                next += rd ? 0 : static_cast<std::uint32_t>(k);
            } else if (op == 5) {
                const int k = pick(-1, m.cap), gone = k < 0 || k >= held ? held : k;
                size_t flushed = 12345;
                ASSERT_EQ(KmtFlushTSQ(q, k, &flushed), 0);
                ASSERT_EQ(flushed, size_t(gone));
                m.flush(gone);
            } else if (op == 6 && pick(0, 9) == 0) {  // resize, now and then; never below what is held
                const int k = pick(1, 12);
                ASSERT_EQ(resize(q, std::size_t(k)), 0);
                m.resize(std::max(k, held));
            } else if (op == 7) {
                ASSERT_EQ((Ints{int(items_in(q)), int(attr(q, ATTR_TSQ_SPACE_FREE)), int(capacity(q))}),
                          (Ints{held, m.free(), m.cap}));
            }
        }
    }
}

// ---- threshold callbacks: deferred calls on the thread named at installation, once per burst, only while
// installed and only when the value still reaches the threshold when the thread gets to them.

struct Call {
    KmtTSQHandle queue; unsigned event; int value; unsigned thread;
    bool operator==(const Call &) const = default;
};
using Recorder = std::vector<Call>;  // used on the thread its calls go to only
void record(KmtTSQHandle q, unsigned event, int value, void *data) {
    static_cast<Recorder *>(data)->push_back({q, event, value, KmtGetCurrentThreadID()});
}

// Calls left from an earlier test belong to discarded queues and end silently; draining keeps each test to its own.
class TsqCallback : public TsqQueue {
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
    // Delivers what is pending, then checks the number of calls and the last call.
    static void expect_calls(Recorder &rec, std::size_t calls, int value = -1, unsigned event = 0) {
        ProcessSystemEvents();
        ASSERT_EQ(rec.size(), calls);
        if (calls > 0) { EXPECT_EQ(std::tuple(rec.back().value, rec.back().thread, rec.back().event),
                                   std::tuple(value, KmtGetCurrentThreadID(), event ? event : rec.back().event)); }
    }
};

TEST_F(TsqCallback, RegistrationChecksEventsDuplicatesAndIdsAndAReinstallationRevivesNoCall) {
    Queue q(64, 4), other(4, 8);
    for (unsigned event : {0u, 3u, 5u, 6u, 7u, 8u, 16u, ~0u})
        EXPECT_EQ(KmtInstallTSQCallback(q, event, 1, ignore_event, 0, 0, 0), KMT_ERR_INVALID_EVENT) << event;
    KmtTSQCallbackID ids[3] = {};
    const unsigned events[3] = {EVENT_TSQ_QUEUE_SIZE, EVENT_TSQ_ITEMS_IN_QUEUE, EVENT_TSQ_QUEUE_SPACE_FREE};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KmtInstallTSQCallback(q, events[i], i, ignore_event, nullptr, 0, &ids[i]), 0) << events[i];
        EXPECT_EQ(KmtInstallTSQCallback(q, events[i], 7, ignore_event, nullptr, 0, nullptr),
                  KMT_ERR_CALLBACK_ALREADY_INSTALLED) << events[i];
    }
    EXPECT_EQ(std::set<KmtTSQCallbackID>({ids[0], ids[1], ids[2], nullptr}).size(), 4u);  // distinct, none null
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
    EXPECT_EQ(KmtUninstallTSQCallback(other, foreign), 0);
    // A call posted for an uninstalled callback must not reach it, also when the new installation got the same ID.
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
    EXPECT_EQ(old_rec.size() + new_rec.size(), new_calls);
    // Each event takes a callback again; a null ID pointer is fine; the discard frees them (ASan's leak check).
    for (unsigned event : events) EXPECT_EQ(KmtInstallTSQCallback(q, event, 0, ignore_event, nullptr, 0, nullptr), 0);
}

TEST_F(TsqCallback, EachEventIsCalledOncePerBurstWithTheValueAtDelivery) {
    Queue q(64, 4);
    Recorder rec;
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 10, rec);
    write_one_by_one(q, 0, 9);
    expect_calls(rec, 0);  // below the threshold
    write_one_by_one(q, 9, 16);  // passes 10 and goes on to 25
    EXPECT_EQ(rec.size(), 0u) << "nothing runs before the thread processes events";
    expect_calls(rec, 1, 25, EVENT_TSQ_ITEMS_IN_QUEUE);
    EXPECT_EQ(rec[0].queue, q.h);
    expect_calls(rec, 1, 25);
    write_one_by_one(q, 25, 1);  // the next write above the threshold is a new burst
    expect_calls(rec, 2, 26);
    // Below the threshold again before delivery, by a read or by a flush: no call.
    write_one_by_one(q, 26, 1);
    expect_items(q, 4, 0, 27);
    expect_calls(rec, 2, 26);
    write_one_by_one(q, 27, 11);
    ASSERT_EQ(KmtFlushTSQ(q, 5, nullptr), 0);
    expect_calls(rec, 2, 26);
    // The dropped calls left it ready for the next burst, and a write pointer's release is a write.
    ASSERT_EQ(KmtFlushTSQ(q, TSQ_FLUSH_ALL, nullptr), 0);
    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
    ASSERT_GE(n, 12);
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 12), 0);
    expect_calls(rec, 3, 12);
    Queue g(10, 4, TSQ_OPT_GROW);
    Recorder space, sizes;  // free space follows reads, pointer releases and flushes; the size resizes and growth
    ASSERT_EQ(put(g, 4, 0, 10), 10);
    install(g, EVENT_TSQ_QUEUE_SPACE_FREE, 4, space);
    ASSERT_EQ(KmtReadTSQData(g, buf, 2, 0, 0), 2);
    expect_calls(space, 0);
    ASSERT_EQ(KmtReadTSQData(g, buf, 3, 0, 0), 3);
    expect_calls(space, 1, 5, EVENT_TSQ_QUEUE_SPACE_FREE);
    ASSERT_EQ(put(g, 4, 10, 5), 5);
    ASSERT_EQ(KmtGetTSQReadPtr(g, &p, &n), 0);
    ASSERT_GE(n, 4);
    ASSERT_EQ(KmtReleaseTSQReadPtr(g, 4), 0);
    expect_calls(space, 2, 4);
    ASSERT_EQ(put(g, 4, 20, 4), 4);
    ASSERT_EQ(KmtFlushTSQ(g, TSQ_FLUSH_ALL, nullptr), 0);
    expect_calls(space, 3, 10);
    // A write that fills the space back up before delivery: not called.
    ASSERT_EQ(put(g, 4, 30, 10), 10);
    ASSERT_EQ(KmtReadTSQData(g, buf, 5, 0, 0), 5);
    ASSERT_EQ(put(g, 4, 40, 5), 5);
    expect_calls(space, 3, 10);
    ASSERT_EQ(KmtFlushTSQ(g, TSQ_FLUSH_ALL, nullptr), 0);
    install(g, EVENT_TSQ_QUEUE_SIZE, 15, sizes);
    ASSERT_EQ(resize(g, 12), 0);
    expect_calls(sizes, 0);
    ASSERT_EQ(resize(g, 20), 0);
    ASSERT_EQ(resize(g, 30), 0);
    expect_calls(sizes, 1, 30, EVENT_TSQ_QUEUE_SIZE);
    ASSERT_EQ(KmtSetTSQAttribute(g, ATTR_TSQ_GROW_INCREMENT, std::size_t{4}), 0);
    ASSERT_EQ(put(g, 4, 0, 35), 35);  // growth by a write is a resize too
    EXPECT_EQ(capacity(g), 38u);
    expect_calls(sizes, 2, 38);
}

// The callback runs with no lock of the queue held: another thread queries, writes, reads and flushes the queue.
void probe_from_another_thread(KmtTSQHandle q, unsigned, int, void *data) {
    *static_cast<Ints *>(data) = in_thread([q] {
        std::size_t held = 0;
        const int r = KmtGetTSQAttributeEx(q, ATTR_TSQ_ITEMS_IN_QUEUE, &held, 2000);
        if (r != 0) return Ints{r};  // the callback holds the lock: the rest would wait for ever
        unsigned char buf[16];
        return Ints{r, int(held), put(q, 4, 2, 1), KmtReadTSQData(q, buf, 3, 0, 0), KmtFlushTSQ(q, TSQ_FLUSH_ALL, 0)};
    }).get();
}

TEST_F(TsqCallback, EachEventHasItsOwnCallbackAndThreadAndRunsOutsideTheQueuesLocks) {
    Queue q(8, 4);
    Recorder on_main, on_worker;
    std::atomic<unsigned> worker_id{0};
    std::thread worker([&] {
        worker_id = KmtGetCurrentThreadID();
        eventually([&] { return ProcessSystemEvents(), !on_worker.empty(); });
    });
    ASSERT_TRUE(eventually([&] { return worker_id.load() != 0; }));
    install(q, EVENT_TSQ_ITEMS_IN_QUEUE, 2, on_worker, worker_id);
    install(q, EVENT_TSQ_QUEUE_SPACE_FREE, 7, on_main);
    ASSERT_EQ(put(q, 4, 0, 3), 3);
    worker.join();  // once it had its call
    EXPECT_EQ(on_worker, (Recorder{{q.h, EVENT_TSQ_ITEMS_IN_QUEUE, 3, worker_id}}));
    expect_calls(on_main, 0);  // free space has not reached 7 since the installation
    ASSERT_EQ(KmtReadTSQData(q, buf, 2, 0, 0), 2);
    expect_calls(on_main, 1, 7);
    Queue probed(8, 4);
    Ints results;
    ASSERT_EQ(KmtInstallTSQCallback(probed, EVENT_TSQ_ITEMS_IN_QUEUE, 1, probe_from_another_thread, &results,
                                    KmtGetCurrentThreadID(), nullptr), 0);
    ASSERT_EQ(put(probed, 4, 0, 2), 2);
    ProcessSystemEvents();
    EXPECT_EQ(results, (Ints{0, 2, 1, 3, 0}));
}

// ---- between threads

using Clock = std::chrono::steady_clock;
template <class F>
void expect_prompt(F &&f, decltype(f.get()) want) {
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);  // generous: only a hang misses it
    EXPECT_EQ(f.get(), want);
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
    EXPECT_EQ(view(got.data(), 16), items(8, 0, 2));
    // A write that does not fit writes what fits.
    start = Clock::now();
    EXPECT_EQ(put(q, 8, 10, 3), 3);
    EXPECT_EQ(put(q, 8, 13, 3, nullptr, 60), 1);
    EXPECT_EQ(put(q, 8, 14, 1, nullptr, 30), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
    expect_items(q, 8, 10, 4);
    // Without a limit a read waits for every item it asked for, as they come; so does a peek, and leaves them.
    for (unsigned option : {0u, unsigned{TSQ_READ_OPT_PEEK}}) {
        auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 3, -1, option); });
        for (std::uint32_t i = 0; i < 3; ++i) ASSERT_EQ((kez::os::sleep_ms(2), put(q, 8, 20 + i, 1)), 1);
        expect_prompt(reader, 3);
        EXPECT_EQ(view(got.data(), 24), items(8, 20, 3));
        if (option == TSQ_READ_OPT_PEEK) expect_items(q, 8, 20, 3);
        EXPECT_EQ(items_in(q), 0u);
    }
    // Without a limit a write waits for all the space it needs.
    ASSERT_EQ(put(q, 8, 40, 4), 4);
    auto writer = in_thread([&] { return put(q, 8, 44, 6, nullptr, -1); });
    for (std::uint32_t i = 0; i < 10; ++i) expect_items(q, 8, 40 + i, 1, -1);
    expect_prompt(writer, 6);
}

TEST_F(TsqThreads, AWaiterHoldsItsSideAndOnlyARefusalOrDiscardEndsItsWait) {
    // A discard may come before, during or after the wait begins.
    constexpr unsigned kDiscard = 0;
    struct Case { int kind; unsigned bit; int result; };  // kind: read, peek, write; result 1: the other side ends it
    const int no = KMT_ERR_ACCESS_NOT_PERMITTED;
    std::vector<Case> cases = {{0, TSQ_REFUSE_READS, no},     {1, TSQ_REFUSE_READS, no}, {2, TSQ_REFUSE_WRITES, no},
                               {0, TSQ_REFUSE_FLUSHES, 1}, {1, TSQ_REFUSE_WRITES, 1}, {2, TSQ_REFUSE_READS, 1}};
    for (int round = 0; round < 30; ++round) cases.push_back({round % 3, kDiscard, KMT_ERR_INVALID_HANDLE});
    std::mt19937 rng(7);
    for (const Case &c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", refusal " + std::to_string(c.bit));
        const KmtTSQHandle q = Queue(4, 8).take();
        ASSERT_EQ(put(q, 8, 0, c.kind == 2 ? 4 : 0), c.kind == 2 ? 4 : 0);
        auto waiter = in_thread([&, mine = Bytes(8)]() mutable {  // option 1: a peek
            return c.kind == 2 ? put(q, 8, 4, 1, nullptr, -1) : KmtReadTSQData(q, mine.data(), 1, -1, c.kind == 1);
        });
        if (c.bit == kDiscard) {
            kez::os::sleep_ms(std::uniform_int_distribution<unsigned>(0, 20)(rng));
            ASSERT_EQ(KmtDiscardTSQ(q), 0);
        } else {
            ASSERT_TRUE(eventually([&] { return (c.kind == 2 ? writers(q) : readers(q)) == 1; }));
            // A second reader (peek or read) or writer is refused at once, also one that would wait.
            EXPECT_EQ(c.kind == 2 ? put(q, 8, 9, 1, nullptr, -1) : KmtReadTSQData(q, buf, 1, -1, c.kind == 0),
                      c.kind == 2 ? KMT_ERR_WRITING_IN_PROGRESS : KMT_ERR_READING_IN_PROGRESS);
            kez::os::sleep_ms(20);  // into its wait
            ASSERT_EQ(set_refusal(q, c.bit), 0);
        }
        if (c.result == 1) {
            ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
            ASSERT_EQ(set_refusal(q, 0), 0);
            if (c.kind == 2) expect_items(q, 8, 0, 1);
            else ASSERT_EQ(put(q, 8, 0, 1), 1);
        }
        expect_prompt(waiter, c.result);
        EXPECT_EQ(c.bit != kDiscard ? KmtDiscardTSQ(q) : 0, 0);
    }
}

// A reader that waited through one resize and copies from the new ring must keep that ring while further
// resizes replace it: ASan reports a copy from freed memory, TSan a copy racing with the free. The reader
// copies into fresh pages, more slowly than a resize, which makes the overlap likely.
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
        auto reader = in_thread([&] { return KmtReadTSQData(q, fresh.get(), kItems, -1, 0); });
        EXPECT_TRUE(eventually([&] { return readers(q) == 1; }));
        kez::os::sleep_ms(2);  // into its wait
        EXPECT_EQ(resize(q, kItems), 0);
        EXPECT_EQ(KmtWriteTSQData(q, data.data(), kItems, -1, nullptr), kItems);
        for (int i = 0; i < 100000 && items_in(q) != 0; ++i) EXPECT_EQ(resize(q, kItems), 0);
        EXPECT_EQ(reader.get(), kItems);
        ASSERT_EQ(view(fresh.get(), data.size()), data);
    }
}

TEST_F(TsqThreads, AFlushingWriteWaitsForAReaderInsteadOfFlushingUnderIt) {
    for (unsigned option : {unsigned{TSQ_OPT_FLUSH_EXACT_WHEN_FULL}, unsigned{TSQ_OPT_FLUSH_ALL_WHEN_FULL}}) {
        SCOPED_TRACE(option);
        Queue q(4, 8, option);
        ASSERT_EQ(put(q, 8, 0, 4), 4);
        ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
        // The items under a held read pointer cannot go: a write with a limit runs out of time...
        auto write = [&](int timeout) {  // the items written times 100, plus those flushed
            return in_thread(
                [&q, timeout, f = size_t{99}]() mutable { return put(q, 8, 10, 2, &f, timeout) * 100 + int(f); });
        };
        expect_prompt(write(30), 0);
        // ... and one without waits for the release, which makes the room.
        auto writer = write(-1);
        ASSERT_TRUE(eventually([&] { return writers(q) == 1; }));
        kez::os::sleep_ms(5);
        EXPECT_EQ(view(p, 32), items(8, 0, 4));
        ASSERT_EQ(KmtReleaseTSQReadPtr(q, 2), 0);
        expect_prompt(writer, 200);
        expect_items(q, 8, 2, 2);
        expect_items(q, 8, 10, 2);
        // A reader that asks for more than the queue holds stays inside its
        // read while the writer fills the queue: nothing is flushed, nothing deadlocks.
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE(round);
            Bytes got(9 * 8);
            auto reader = in_thread([&] { return KmtReadTSQData(q, got.data(), 9, -1, 0); });
            ASSERT_EQ(put(q, 8, 0, 1, nullptr, -1), 1);
            ASSERT_TRUE(eventually([&] { return items_in(q) == 0; }));  // the reader took item 0
            size_t fa = 99, fb = 99;
            const Ints wrote{put(q, 8, 1, 4, &fa, -1), put(q, 8, 5, 4, &fb, -1), int(fa + fb)};
            expect_prompt(reader, 9);
            ASSERT_EQ(wrote, (Ints{4, 4, 0}));
            ASSERT_EQ(got, items(8, 0, 9));
        }
    }
}

// ---- producers and consumers under load --------------------------------------------------

// Items moved in each load test: the sanitizers slow each call by an order of magnitude and Wine more still.
#if defined(_WIN32)
constexpr std::uint64_t kLoadItems = 200000;
#elif defined(KEZ_TEST_ASAN) || defined(KEZ_TEST_TSAN)
constexpr std::uint64_t kLoadItems = 2000000;
#else
constexpr std::uint64_t kLoadItems = 10000000;
#endif

// A worker's failure refuses reads and writes so that the other workers leave their waits at once.
void fail(KmtTSQHandle q, std::atomic<bool> &failed, const char *what, std::uint64_t at, int result) {
    ADD_FAILURE() << what << " at " << at << ": " << result;
    failed = true;
    set_refusal(q, TSQ_REFUSE_READS | TSQ_REFUSE_WRITES);
}

// max_batch, peek_limit: the most items a transfer or a peek asks for; resizer: a third thread keeps resizing.
struct LoadPlan { const char *what; int capacity; unsigned options; std::uint64_t items; int max_batch, peek_limit;
                  bool resizer; };

// Whether n numbered items follow on from *next (without a gap unless `gaps`); moves *next past them.
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
    for (int i = 0; i < n; ++i, ++first) std::memcpy(static_cast<char *>(to) + 8 * i, &first, 8);
}

// One side of the transfer: writes and write pointers, or reads, peeks and read pointers, checked against the
// sequence; a result outside [0, batch], or short of it without a limit, is a fault. `count`: the items
// received, or the items the writes flushed.
void transfer(KmtTSQHandle q, const LoadPlan &plan, bool reader, std::atomic<bool> &failed, std::uint64_t *count) {
    const bool gaps = (plan.options & (TSQ_OPT_FLUSH_ALL_WHEN_FULL | TSQ_OPT_FLUSH_EXACT_WHEN_FULL)) != 0;
    std::mt19937 rng(reader ? 2 : 1);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::uint64_t> buf(static_cast<std::size_t>(plan.max_batch));
    std::uint64_t next = 0;  // the next item to write, or the least one a read may see
    auto failure = [&](const char *what, int r) { fail(q, failed, what, next, r); };
    while (next < plan.items && !failed) {
        const int batch = static_cast<int>(std::min<std::uint64_t>(pick(1, plan.max_batch), plan.items - next));
        const int how = pick(0, 9);
        if (how < 2) {
            void *p = nullptr;
            int n = 0;
            const int r = reader ? KmtGetTSQReadPtr(q, &p, &n) : KmtGetTSQWritePtr(q, &p, &n);
            if (r == (reader ? KMT_ERR_QUEUE_EMPTY : KMT_ERR_QUEUE_FULL)) { std::this_thread::yield(); continue; }
            if (r != 0 || n < 1) return failure("pointer", r);
            const int k = reader ? pick(0, n) : std::min(n, batch);
            std::uint64_t seen = next;
            const bool ordered = !reader || in_order(p, n, &seen, gaps);
            if (reader) in_order(p, k, &next, gaps);
            else fill_sequence(p, k, next);
            const int rel = reader ? KmtReleaseTSQReadPtr(q, ordered ? k : 0) : KmtReleaseTSQWritePtr(q, k);
            if (!ordered || rel != 0) return failure(ordered ? "pointer release" : "pointer out of order", rel);
            (reader ? *count : next) += static_cast<std::uint64_t>(k);
            continue;
        }
        const bool peek = reader && how == 2;
        const int k = peek ? std::min(batch, plan.peek_limit) : batch;
        // No wait, a few milliseconds, or no limit; items may be flushed away: a read with gaps never waits for all.
        const int wait = pick(0, 9);
        const int timeout = peek ? 0 : reader && gaps ? pick(0, 2) : wait < 3 ? 0 : wait < 6 ? pick(1, 4) : -1;
        if (!reader) fill_sequence(buf.data(), k, next);
        std::size_t flushed = 0;
        const int r = reader ? KmtReadTSQData(q, buf.data(), std::size_t(k), timeout, peek ? TSQ_READ_OPT_PEEK : 0)
                             : KmtWriteTSQData(q, buf.data(), std::size_t(k), timeout, &flushed);
        if (r < 0 || r > k || (timeout < 0 && r != k)) return failure(peek ? "peek" : reader ? "read" : "write", r);
        std::uint64_t seen = next;
        if (reader && !in_order(buf.data(), r, peek ? &seen : &next, gaps)) return failure("read out of order", r);
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
        std::atomic<bool> failed{false}, done{false};
        std::uint64_t flushed = 0, received = 0;
        std::atomic<int> resizes{0};
        std::thread consumer(transfer, q.h, std::cref(plan), true, std::ref(failed), &received);
        std::thread producer(transfer, q.h, std::cref(plan), false, std::ref(failed), &flushed);
        std::thread sizer([&] {
            std::mt19937 rng(3);
            while (plan.resizer && !done && !failed) {
                if (const int r = resize(q, std::uniform_int_distribution<std::size_t>(1, 128)(rng)); r != 0)
                    return fail(q, failed, "resize", 0, r);
                ++resizes;
                if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) kez::os::sleep_ms(1);
            }
        });
        producer.join();
        consumer.join();
        done = true;
        sizer.join();
        ASSERT_FALSE(failed);
        EXPECT_EQ(received + flushed, plan.items);
        EXPECT_EQ(flushed > 0, plan.options >= TSQ_OPT_FLUSH_ALL_WHEN_FULL);
        EXPECT_EQ(items_in(q), 0u);
        EXPECT_EQ(resizes.load() > 0, plan.resizer);
    }
}

}  // namespace
