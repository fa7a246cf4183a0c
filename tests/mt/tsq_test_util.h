// Helpers shared by the thread-safe queue tests: a queue discarded when the
// test ends, numbered items, attribute readers and a fixture with a watchdog.
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
#include "support/watchdog.h"

namespace kez::test::tsq {

using Bytes = std::vector<unsigned char>;
using kez::test::eventually;

// Owns a queue handle; discards it at the end of the scope.
class Queue {
  public:
    Queue(int items, int item_size, unsigned options = 0) {
        EXPECT_EQ(KmtNewTSQ(items, item_size, options, &handle_), 0) << items << " x " << item_size;
    }
    ~Queue() { EXPECT_EQ(KmtDiscardTSQ(handle_), 0); }
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;
    KmtTSQHandle get() const { return handle_; }
    operator KmtTSQHandle() const { return handle_; }

  private:
    KmtTSQHandle handle_ = nullptr;
};

template <class T = std::size_t>
T attr(KmtTSQHandle q, int attribute) {
    T value{};
    EXPECT_EQ(KmtGetTSQAttribute(q, attribute, &value), 0) << "attribute " << attribute;
    return value;
}
inline std::size_t items_in(KmtTSQHandle q) { return attr(q, ATTR_TSQ_ITEMS_IN_QUEUE); }
inline std::size_t capacity(KmtTSQHandle q) { return attr(q, ATTR_TSQ_QUEUE_SIZE); }
inline int readers(KmtTSQHandle q) { return attr<int>(q, ATTR_TSQ_READERS); }
inline int writers(KmtTSQHandle q) { return attr<int>(q, ATTR_TSQ_WRITERS); }
inline int resize(KmtTSQHandle q, std::size_t items) { return KmtSetTSQAttribute(q, ATTR_TSQ_QUEUE_SIZE, items); }
inline int set_refusal(KmtTSQHandle q, unsigned bits) { return KmtSetTSQAttribute(q, ATTR_TSQ_ACCESS_REFUSAL, bits); }

// Item n of `size` bytes: a pattern that depends on n and the byte's place,
// with n in its first four bytes, so that a shifted, repeated or torn item shows.
inline Bytes items(int size, std::uint32_t first, std::size_t count) {
    Bytes out(static_cast<std::size_t>(size) * count);
    for (std::size_t k = 0; k < count; ++k) {
        unsigned char *item = out.data() + k * static_cast<std::size_t>(size);
        const auto n = first + static_cast<std::uint32_t>(k);
        for (int i = 0; i < size; ++i) item[i] = static_cast<unsigned char>((n * 31u + unsigned(i) * 7u) & 0xFF);
        if (size >= 4) std::memcpy(item, &n, 4);
    }
    return out;
}

// Writes items first .. first + count - 1; the result.
inline int put(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count, size_t *flushed = nullptr,
               int timeout = 0) {
    Bytes data = items(item_size, first, count);
    data.push_back(0);  // never a null buffer, also for 0 items
    return KmtWriteTSQData(q, data.data(), count, timeout, flushed);
}

// Reads `count` items and checks they are first, first + 1, ... and that
// nothing past them was written.
inline void expect_items(KmtTSQHandle q, int item_size, std::uint32_t first, std::size_t count, int timeout = 0) {
    Bytes got(static_cast<std::size_t>(item_size) * (count + 1), 0xEE);
    ASSERT_EQ(KmtReadTSQData(q, got.data(), count, timeout, 0), static_cast<int>(count));
    EXPECT_EQ(Bytes(got.end() - item_size, got.end()), Bytes(static_cast<std::size_t>(item_size), 0xEE));
    got.resize(static_cast<std::size_t>(item_size) * count);
    EXPECT_EQ(got, items(item_size, first, count)) << "items from " << first;
}

class TsqTest : public testing::Test {
  protected:
    kez::test::Watchdog watchdog_{std::chrono::seconds(120), "thread-safe queue test"};
};

}  // namespace kez::test::tsq
