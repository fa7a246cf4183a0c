// Thread-safe queues: the ring itself. Wrap-around for every way in and out,
// a long random sequence of operations against a model of the queue,
// resizing (also while a read pointer is held) and sizes that do not fit in
// 32 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mt/tsq_test_util.h"

namespace {

using namespace kez::test::tsq;

using Bytes = std::vector<unsigned char>;

Bytes view(const void *p, std::size_t bytes) {
    return Bytes(static_cast<const unsigned char *>(p), static_cast<const unsigned char *>(p) + bytes);
}

class TsqRing : public TsqTest {};

// ---- wrap-around ---------------------------------------------------------------------

TEST_F(TsqRing, CopiesWrapAroundTheEndOfTheRing) {
    // An odd item size puts the end of the ring where no power of two would.
    constexpr int kSize = 3;
    Queue q(8, kSize);
    ASSERT_EQ(put(q, kSize, 0, 5), 5);
    expect_items(q, kSize, 0, 5);
    // Six items from index 5: three to the end, three at the front.
    ASSERT_EQ(put(q, kSize, 100, 6), 6);
    Bytes peeked(6 * kSize, 0xEE);
    ASSERT_EQ(KmtReadTSQData(q, peeked.data(), 6, 0, TSQ_READ_OPT_PEEK), 6);
    EXPECT_EQ(peeked, items(kSize, 100, 6));
    // A read that ends exactly at the end of the ring, then one from the front.
    expect_items(q, kSize, 100, 3);
    expect_items(q, kSize, 103, 3);
    // A write that fills the ring to the byte, wrapping in its middle.
    ASSERT_EQ(put(q, kSize, 200, 8), 8);
    EXPECT_EQ(space_free(q), 0u);
    expect_items(q, kSize, 200, 8);
}

TEST_F(TsqRing, PointersStopAtTheEndOfTheRingAndGoOnAtItsFront) {
    constexpr int kSize = 5;
    Queue q(8, kSize);
    ASSERT_EQ(put(q, kSize, 0, 8), 8);
    expect_items(q, kSize, 0, 5);       // read index 5, write index 0
    ASSERT_EQ(put(q, kSize, 8, 3), 3);  // items 5, 6, 7 | 8, 9, 10; write index 3
    void *rp = nullptr, *wp = nullptr;
    int rn = 0, wn = 0;
    // Both pointers at once on one thread (the write pointer first, as the
    // queue's lock order has it).
    ASSERT_EQ(KmtGetTSQWritePtr(q, &wp, &wn), 0);
    ASSERT_EQ(KmtGetTSQReadPtr(q, &rp, &rn), 0);
    ASSERT_EQ(rn, 3);  // up to the end of the ring
    ASSERT_EQ(wn, 2);  // the free space between the indices
    auto *base = static_cast<unsigned char *>(rp) - 5 * kSize;
    EXPECT_EQ(wp, base + 3 * kSize);
    EXPECT_EQ(view(rp, 3 * kSize), items(kSize, 5, 3));
    EXPECT_EQ(view(base, 3 * kSize), items(kSize, 8, 3));
    const Bytes fresh = items(kSize, 11, 2);
    std::memcpy(wp, fresh.data(), fresh.size());
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 2), 0);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 3), 0);

    // The read pointer continues at the front: 8..12 in one piece.
    ASSERT_EQ(KmtGetTSQReadPtr(q, &rp, &rn), 0);
    EXPECT_EQ(rp, base);
    ASSERT_EQ(rn, 5);
    EXPECT_EQ(view(rp, 5 * kSize), items(kSize, 8, 5));
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 4), 0);
    // Write index 5 with seven free items: three up to the end, then four
    // at the front.
    ASSERT_EQ(KmtGetTSQWritePtr(q, &wp, &wn), 0);
    EXPECT_EQ(wp, base + 5 * kSize);
    ASSERT_EQ(wn, 3);
    std::memcpy(wp, items(kSize, 13, 3).data(), 3 * kSize);
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 3), 0);
    ASSERT_EQ(KmtGetTSQWritePtr(q, &wp, &wn), 0);
    EXPECT_EQ(wp, base);
    ASSERT_EQ(wn, 4);
    std::memcpy(wp, items(kSize, 16, 2).data(), 2 * kSize);
    ASSERT_EQ(KmtReleaseTSQWritePtr(q, 2), 0);
    // Bytes written through the pointers read back in order, copied out
    // across the wrap.
    expect_items(q, kSize, 12, 6);
}

// A queue model: items in order, and the ring indices in items.
struct Model {
    int cap;
    std::deque<std::uint32_t> held;
    int read_index = 0;
    int write_index = 0;

    int free() const { return cap - static_cast<int>(held.size()); }
    void pushed(int n) { write_index = (write_index + n) % cap; }
    void popped(int n) {
        held.erase(held.begin(), held.begin() + n);
        read_index = (read_index + n) % cap;
    }
};

Bytes model_items(const Model &m, int item_size, int n) {
    Bytes out;
    for (int k = 0; k < n; ++k) {
        const Bytes one = items(item_size, m.held[static_cast<std::size_t>(k)], 1);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

TEST_F(TsqRing, ARandomMixOfOperationsMatchesAModelOfTheQueue) {
    constexpr int kSize = 3;
    Queue q(7, kSize);
    Model m{7};
    std::mt19937 rng(20240611);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::uint32_t next = 0;
    // The ring's start, learned from the first pointer after each change of ring.
    unsigned char *base = nullptr;
    for (int step = 0; step < 20000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int held = static_cast<int>(m.held.size());
        switch (pick(0, 7)) {
            case 0: {  // write
                const int n = pick(0, 10);
                const int want = n < m.free() ? n : m.free();
                ASSERT_EQ(put(q, kSize, next, static_cast<std::size_t>(n)), want);
                for (int k = 0; k < want; ++k) m.held.push_back(next + static_cast<std::uint32_t>(k));
                next += static_cast<std::uint32_t>(n);
                m.pushed(want);
                break;
            }
            case 1: {  // read
                const int n = pick(0, 10);
                const int want = n < held ? n : held;
                Bytes got(static_cast<std::size_t>(n) * kSize + 1, 0xEE);
                ASSERT_EQ(KmtReadTSQData(q, got.data(), static_cast<std::size_t>(n), 0, 0), want);
                ASSERT_EQ(Bytes(got.begin(), got.begin() + want * kSize), model_items(m, kSize, want));
                ASSERT_EQ(got[static_cast<std::size_t>(want) * kSize], 0xEE);
                m.popped(want);
                break;
            }
            case 2: {  // peek
                const int n = pick(0, m.cap);
                const int want = n < held ? n : held;
                Bytes got(static_cast<std::size_t>(n) * kSize + 1, 0xEE);
                ASSERT_EQ(KmtReadTSQData(q, got.data(), static_cast<std::size_t>(n), 0, TSQ_READ_OPT_PEEK), want);
                ASSERT_EQ(Bytes(got.begin(), got.begin() + want * kSize), model_items(m, kSize, want));
                break;
            }
            case 3: {  // read pointer
                void *p = nullptr;
                int n = -1;
                if (held == 0) {
                    ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), KMT_ERR_QUEUE_EMPTY);
                    break;
                }
                ASSERT_EQ(KmtGetTSQReadPtr(q, &p, &n), 0);
                const int contiguous = m.cap - m.read_index;
                ASSERT_EQ(n, held < contiguous ? held : contiguous);
                if (base == nullptr) base = static_cast<unsigned char *>(p) - m.read_index * kSize;
                ASSERT_EQ(p, base + m.read_index * kSize);
                ASSERT_EQ(view(p, static_cast<std::size_t>(n) * kSize), model_items(m, kSize, n));
                const int release = pick(0, n + 1);
                ASSERT_EQ(KmtReleaseTSQReadPtr(q, release), release > n ? KMT_ERR_READ_MORE_THAN_AVAILABLE : 0);
                m.popped(release > n ? n : release);
                break;
            }
            case 4: {  // write pointer
                void *p = nullptr;
                int n = -1;
                if (m.free() == 0) {
                    ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), KMT_ERR_QUEUE_FULL);
                    break;
                }
                ASSERT_EQ(KmtGetTSQWritePtr(q, &p, &n), 0);
                const int contiguous = m.cap - m.write_index;
                ASSERT_EQ(n, m.free() < contiguous ? m.free() : contiguous);
                if (base == nullptr) base = static_cast<unsigned char *>(p) - m.write_index * kSize;
                ASSERT_EQ(p, base + m.write_index * kSize);
                const Bytes data = items(kSize, next, static_cast<std::size_t>(n));
                std::memcpy(p, data.data(), data.size());
                const int release = pick(0, n + 1);
                ASSERT_EQ(KmtReleaseTSQWritePtr(q, release), release > n ? KMT_ERR_WROTE_MORE_THAN_SPACE : 0);
                const int added = release > n ? n : release;
                for (int k = 0; k < added; ++k) m.held.push_back(next + static_cast<std::uint32_t>(k));
                next += static_cast<std::uint32_t>(n);
                m.pushed(added);
                break;
            }
            case 5: {  // flush
                const int n = pick(-1, m.cap);
                size_t flushed = 12345;
                ASSERT_EQ(KmtFlushTSQ(q, n, &flushed), 0);
                const int gone = n < 0 || n >= held ? held : n;
                ASSERT_EQ(flushed, static_cast<size_t>(gone));
                if (gone == held) {
                    m.held.clear();
                    m.read_index = m.write_index = 0;
                } else {
                    m.popped(gone);
                }
                break;
            }
            case 6: {  // resize, now and then
                if (pick(0, 9) != 0) break;
                const int n = pick(1, 12);
                ASSERT_EQ(resize(q, static_cast<std::size_t>(n)), 0);
                m.cap = n > held ? n : held;
                m.read_index = 0;
                m.write_index = held < m.cap ? held : 0;
                base = nullptr;
                break;
            }
            default:  // the counters
                ASSERT_EQ(items_in(q), static_cast<std::size_t>(held));
                ASSERT_EQ(space_free(q), static_cast<std::size_t>(m.free()));
                ASSERT_EQ(capacity(q), static_cast<std::size_t>(m.cap));
                break;
        }
    }
}

// ---- resizing ------------------------------------------------------------------------

TEST_F(TsqRing, ResizingKeepsTheItemsInOrderAndNeverDropsAny) {
    constexpr int kSize = 7;
    Queue q(4, kSize);
    ASSERT_EQ(put(q, kSize, 0, 4), 4);
    expect_items(q, kSize, 0, 3);
    ASSERT_EQ(put(q, kSize, 4, 3), 3);  // 3 at the end, 4..6 wrapped
    ASSERT_EQ(resize(q, 10), 0);
    EXPECT_EQ(capacity(q), 10u);
    EXPECT_EQ(space_free(q), 6u);
    ASSERT_EQ(put(q, kSize, 7, 6), 6);
    // Shrinking below what the queue holds keeps every item: the capacity
    // stays at the items held.
    ASSERT_EQ(resize(q, 3), 0);
    EXPECT_EQ(capacity(q), 10u);
    EXPECT_EQ(space_free(q), 0u);
    expect_items(q, kSize, 3, 4);
    ASSERT_EQ(resize(q, 2), 0);
    EXPECT_EQ(capacity(q), 6u);
    EXPECT_EQ(put(q, kSize, 100, 1), 0);
    expect_items(q, kSize, 7, 6);
    ASSERT_EQ(resize(q, 2), 0);
    EXPECT_EQ(capacity(q), 2u);
    EXPECT_EQ(put(q, kSize, 20, 3), 2);
    expect_items(q, kSize, 20, 2);
}

// The ring a held read pointer points into must outlive any number of
// resizes until the release, and be freed then: ASan reports a read of
// freed memory or a ring that is never freed.
TEST_F(TsqRing, AHeldReadPointerSurvivesTwoResizes) {
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
    // Still the bytes handed out, in the ring they were handed out from.
    EXPECT_EQ(view(p, seen.size()), seen);
    ASSERT_EQ(KmtReleaseTSQReadPtr(q, 5), 0);
    expect_items(q, kSize, 8, 7);

    // Once more, with the pointer's ring left to a discard from another
    // thread: it waits for the holder, whose release then finds the queue
    // gone and ends the hold.
    KmtTSQHandle h = nullptr;
    ASSERT_EQ(KmtNewTSQ(4, kSize, 0, &h), 0);
    ASSERT_EQ(put(h, kSize, 0, 4), 4);
    ASSERT_EQ(KmtGetTSQReadPtr(h, &p, &n), 0);
    int discarded = -1;
    std::thread other([&] {
        results[0] = resize(h, 6);
        results[1] = resize(h, 8);
        discarded = KmtDiscardTSQ(h);
    });
    std::size_t size = 0;
    EXPECT_TRUE(
        eventually([&] { return KmtGetTSQAttribute(h, ATTR_TSQ_QUEUE_SIZE, &size) == KMT_ERR_INVALID_HANDLE; }));
    EXPECT_EQ(view(p, 4 * kSize), items(kSize, 0, 4));
    EXPECT_EQ(KmtReleaseTSQReadPtr(h, 4), KMT_ERR_INVALID_HANDLE);
    other.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(discarded, 0);
}

// A reader that waited through one resize and then copies from the new ring
// must keep that ring too while further resizes replace it: ASan reports a
// copy from freed memory, TSan a copy racing with the free. The reader
// copies into fresh pages (a large new block) and so copies more slowly
// than a resize, which makes the overlap likely.
TEST_F(TsqRing, AReaderCopyingFromARingOutlivesTheResizesThatReplaceIt) {
    constexpr int kItems = 1024;
    constexpr int kSize = 64;
    const Bytes data = items(kSize, 0, kItems);
    // Each round overlaps the copy with a resize often but not always.
    // TSan sees the first overlap as a race; elsewhere only a copy that
    // read freed bytes shows, which takes more rounds.
#if defined(KEZ_TEST_TSAN)
    constexpr int kRounds = 30;
#else
    constexpr int kRounds = 100;
#endif
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Queue q(kItems, kSize);
        std::unique_ptr<unsigned char[]> fresh(new unsigned char[std::size_t{4} << 20]);
        int read = -1;
        std::thread reader([&] { read = KmtReadTSQData(q, fresh.get(), kItems, -1, 0); });
        // Failures below still let the reader finish: it is joined first.
        EXPECT_TRUE(eventually([&] { return int_attr(q, ATTR_TSQ_READERS) == 1; }));
        kez::os::sleep_ms(2);  // into its wait
        EXPECT_EQ(resize(q, kItems), 0);
        EXPECT_EQ(KmtWriteTSQData(q, data.data(), kItems, -1, nullptr), kItems);
        // Resize until the reader has taken its copy.
        for (int i = 0; i < 100000 && items_in(q) != 0; ++i) EXPECT_EQ(resize(q, kItems), 0);
        reader.join();
        EXPECT_EQ(read, kItems);
        ASSERT_EQ(view(fresh.get(), data.size()), data);
    }
}

// ---- sizes beyond 32 bits ----------------------------------------------------------------

TEST_F(TsqRing, SizesAboveTheLargestRingAreRefused) {
    struct Case {
        int items, item_size;
    };
    // Each product exceeds 2147483647 bytes; a 32-bit product would wrap to
    // something small or negative.
    const Case cases[] = {{65536, 32768},           {2, 0x40000000},    {0x40000000, 2}, {3, 0x2AAAAAAB},
                          {0x7FFFFFFF, 0x7FFFFFFF}, {0x10001, 0x10001}, {4, 0x40000001}};
    for (const Case &c : cases) {
        for (unsigned options : {0u, unsigned{TSQ_OPT_GROW}}) {
            KmtTSQHandle h = nullptr;
            EXPECT_EQ(KmtNewTSQ(c.items, c.item_size, options, &h), KMT_ERR_INVALID_PARAMETER)
                << c.items << " x " << c.item_size;
            EXPECT_EQ(h, nullptr);
        }
    }

    constexpr int kSize = 1024;
    Queue q(4, kSize);
    ASSERT_EQ(put(q, kSize, 0, 3), 3);
    const std::size_t too_big[] = {std::size_t{0x7FFFFFFF} / kSize + 1, std::size_t{0x80000000u},
                                   std::size_t{0x100000004ull}, ~std::size_t{0}};
    for (std::size_t n : too_big) EXPECT_EQ(resize(q, n), KMT_ERR_INVALID_PARAMETER) << n;
    // A large ring that fits is fine.
    EXPECT_EQ(resize(q, std::size_t{0x7FFFFFFF} / kSize / 256), 0);
    EXPECT_EQ(resize(q, 4), 0);
    EXPECT_EQ(capacity(q), 4u);
    // The ring is still the size it claims: fill it to the byte (ASan sees
    // a write past its end).
    EXPECT_EQ(put(q, kSize, 3, 2), 1);
    expect_items(q, kSize, 0, 4);
}

TEST_F(TsqRing, GrowthBeyondTheLargestRingFailsAndKeepsTheQueue) {
    constexpr int kSize = 1 << 20;
    Queue q(1, kSize, TSQ_OPT_GROW);
    ASSERT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{2047}), 0);
    ASSERT_EQ(put(q, kSize, 0, 1), 1);
    // One increment more makes 2048 items of 1 MiB: 2^31 bytes.
    EXPECT_EQ(put(q, kSize, 1, 2), KMT_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(capacity(q), 1u);
    EXPECT_EQ(int_attr(q, ATTR_TSQ_WRITERS), 0);
    expect_items(q, kSize, 0, 1);
    // A growth that fits still works.
    ASSERT_EQ(KmtSetTSQAttribute(q, ATTR_TSQ_GROW_INCREMENT, std::size_t{2}), 0);
    ASSERT_EQ(put(q, kSize, 0, 1), 1);
    EXPECT_EQ(put(q, kSize, 1, 2), 2);
    EXPECT_EQ(capacity(q), 3u);
    expect_items(q, kSize, 0, 3);
}

}  // namespace
