// Helpers shared by the thread-safe queue tests: a queue that is discarded
// when the test ends (also after a failed assertion), numbered items,
// attribute readers, a poll with a limit, and a fixture that guards every
// test with a watchdog.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/eventually.h"
#include "support/sanitizers.h"
#include "support/watchdog.h"


namespace kez::test::tsq {

using namespace std::chrono_literals;

// Owns a queue handle; discards it at the end of the scope unless the test
// discarded it itself (release()).
class Queue {
  public:
    Queue(int items, int item_size, unsigned options = 0) {
        EXPECT_EQ(KmtNewTSQ(items, item_size, options, &handle_), 0) << items << " x " << item_size;
    }
    ~Queue() {
        if (handle_ != nullptr) {
            EXPECT_EQ(KmtDiscardTSQ(handle_), 0);
        }
    }
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    KmtTSQHandle get() const { return handle_; }
    operator KmtTSQHandle() const { return handle_; }
    // The test discards the queue itself.
    KmtTSQHandle release() {
        KmtTSQHandle h = handle_;
        handle_ = nullptr;
        return h;
    }

  private:
    KmtTSQHandle handle_ = nullptr;
};

// Size attributes (capacity, item size, items, free items, increment).
inline std::size_t size_attr(KmtTSQHandle q, int attribute) {
    std::size_t value = ~std::size_t{0};
    EXPECT_EQ(KmtGetTSQAttribute(q, attribute, &value), 0) << "attribute " << attribute;
    return value;
}
inline int int_attr(KmtTSQHandle q, int attribute) {
    int value = -12345;
    EXPECT_EQ(KmtGetTSQAttribute(q, attribute, &value), 0) << "attribute " << attribute;
    return value;
}
inline unsigned flags_attr(KmtTSQHandle q, int attribute) {
    unsigned value = 0xDEADBEEFu;
    EXPECT_EQ(KmtGetTSQAttribute(q, attribute, &value), 0) << "attribute " << attribute;
    return value;
}
inline std::size_t items_in(KmtTSQHandle q) { return size_attr(q, ATTR_TSQ_ITEMS_IN_QUEUE); }
inline std::size_t capacity(KmtTSQHandle q) { return size_attr(q, ATTR_TSQ_QUEUE_SIZE); }
inline std::size_t space_free(KmtTSQHandle q) { return size_attr(q, ATTR_TSQ_SPACE_FREE); }

inline int resize(KmtTSQHandle q, std::size_t items) { return KmtSetTSQAttribute(q, ATTR_TSQ_QUEUE_SIZE, items); }
inline int set_refusal(KmtTSQHandle q, unsigned bits) { return KmtSetTSQAttribute(q, ATTR_TSQ_ACCESS_REFUSAL, bits); }

// Numbered items of `size` bytes: item n holds the bytes (n * 31 + i) & 0xFF
// with its number in the first four bytes when there is room, so that a
// shifted, repeated or torn item shows.
inline void fill_item(unsigned char *item, int size, std::uint32_t n) {
    for (int i = 0; i < size; ++i)
        item[i] = static_cast<unsigned char>((n * 31u + static_cast<unsigned>(i) * 7u) & 0xFF);
    if (size >= 4) std::memcpy(item, &n, 4);
}
inline std::vector<unsigned char> items(int size, std::uint32_t first, std::size_t count) {
    std::vector<unsigned char> out(static_cast<std::size_t>(size) * count);
    for (std::size_t k = 0; k < count; ++k)
        fill_item(out.data() + k * static_cast<std::size_t>(size), size, first + static_cast<std::uint32_t>(k));
    return out;
}

// Writes items first .. first + count - 1 without waiting; the result.
inline int put(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count, size_t *flushed = nullptr,
               int timeout = 0) {
    auto data = items(item_size, first, count);
    data.push_back(0);  // never a null buffer, also for 0 items
    return KmtWriteTSQData(q, data.data(), count, timeout, flushed);
}
// The same without a time-out. While other threads use the queue a call
// with a time-out also gives up when the queue's lock is busy for longer.
inline int put_wait(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count) {
    return put(q, item_size, first, count, nullptr, -1);
}

// Reads `count` items and checks they are first, first + 1, ...
inline void expect_items(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count, int timeout = 0) {
    std::vector<unsigned char> got(static_cast<std::size_t>(item_size) * (count + 1), 0xEE);
    ASSERT_EQ(KmtReadTSQData(q, got.data(), count, timeout, 0), static_cast<int>(count));
    got.resize(static_cast<std::size_t>(item_size) * count);
    EXPECT_EQ(got, items(item_size, first, count)) << "items from " << first;
}

using kez::test::eventually;

// Every test runs under a watchdog.
class TsqTest : public testing::Test {
  protected:
    kez::test::Watchdog watchdog_{std::chrono::seconds(120), "thread-safe queue test"};
};

}  // namespace kez::test::tsq
