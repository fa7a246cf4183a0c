// Thread-safe queues against moodycamel's BlockingReaderWriterQueue and a
// mutex + condition-variable ring: one producer and one consumer moving
// items of 8, 64 and 4096 bytes in batches of 1 and 256, and the latency
// of a ping-pong between two threads.
#include <benchmark/benchmark.h>
#include <readerwriterqueue/readerwriterqueue.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kez/kez.h"

namespace {

constexpr int kCapacity = 1024;
constexpr long kItemsPerRun = 1 << 16;

template <std::size_t Size>
struct Item {
    char bytes[Size];
};

// The anchor ring: one mutex, two condition variables, batched copies.
class Ring {
public:
    Ring(int capacity, int item_size)
        : data_(static_cast<std::size_t>(capacity) * item_size), capacity_(capacity), item_size_(item_size) {}
    void write(const char *from, int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (n > 0) {
            space_.wait(lock, [&] { return count_ < capacity_; });
            const int chunk = std::min({n, capacity_ - count_, capacity_ - tail_});
            std::memcpy(&data_[static_cast<std::size_t>(tail_) * item_size_], from,
                        static_cast<std::size_t>(chunk) * item_size_);
            tail_ = (tail_ + chunk) % capacity_;
            count_ += chunk;
            from += static_cast<std::size_t>(chunk) * item_size_;
            n -= chunk;
            data_ready_.notify_one();
        }
    }
    void read(char *to, int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (n > 0) {
            data_ready_.wait(lock, [&] { return count_ > 0; });
            const int chunk = std::min({n, count_, capacity_ - head_});
            std::memcpy(to, &data_[static_cast<std::size_t>(head_) * item_size_],
                        static_cast<std::size_t>(chunk) * item_size_);
            head_ = (head_ + chunk) % capacity_;
            count_ -= chunk;
            to += static_cast<std::size_t>(chunk) * item_size_;
            n -= chunk;
            space_.notify_one();
        }
    }

private:
    std::vector<char> data_;
    std::mutex mutex_;
    std::condition_variable space_, data_ready_;
    int capacity_, item_size_, head_ = 0, tail_ = 0, count_ = 0;
};

template <std::size_t Size>
void BM_TsqThroughput(benchmark::State &state) {
    const int batch = static_cast<int>(state.range(0));
    KmtTSQHandle q = nullptr;
    KmtNewTSQ(kCapacity, static_cast<int>(Size), 0, &q);
    std::vector<Item<Size>> out(static_cast<std::size_t>(batch)), in(static_cast<std::size_t>(batch));
    for (auto _ : state) {
        std::thread producer([&] {
            for (long sent = 0; sent < kItemsPerRun; sent += batch)
                KmtWriteTSQData(q, out.data(), static_cast<std::size_t>(batch), -1, nullptr);
        });
        for (long got = 0; got < kItemsPerRun; got += batch)
            KmtReadTSQData(q, in.data(), static_cast<std::size_t>(batch), -1, 0);
        producer.join();
    }
    KmtDiscardTSQ(q);
    state.SetBytesProcessed(state.iterations() * kItemsPerRun * static_cast<long>(Size));
}

template <std::size_t Size>
void BM_MoodycamelThroughputAnchor(benchmark::State &state) {
    const int batch = static_cast<int>(state.range(0));
    moodycamel::BlockingReaderWriterQueue<Item<Size>> q(kCapacity);
    Item<Size> item{};
    for (auto _ : state) {
        std::thread producer([&] {
            for (long sent = 0; sent < kItemsPerRun; sent += batch)
                for (int i = 0; i < batch; ++i) q.enqueue(item);
        });
        Item<Size> got_item;
        for (long got = 0; got < kItemsPerRun; ++got) q.wait_dequeue(got_item);
        producer.join();
    }
    state.SetBytesProcessed(state.iterations() * kItemsPerRun * static_cast<long>(Size));
}

template <std::size_t Size>
void BM_MutexRingThroughputAnchor(benchmark::State &state) {
    const int batch = static_cast<int>(state.range(0));
    Ring ring(kCapacity, static_cast<int>(Size));
    std::vector<Item<Size>> out(static_cast<std::size_t>(batch)), in(static_cast<std::size_t>(batch));
    for (auto _ : state) {
        std::thread producer([&] {
            for (long sent = 0; sent < kItemsPerRun; sent += batch)
                ring.write(reinterpret_cast<const char *>(out.data()), batch);
        });
        for (long got = 0; got < kItemsPerRun; got += batch) ring.read(reinterpret_cast<char *>(in.data()), batch);
        producer.join();
    }
    state.SetBytesProcessed(state.iterations() * kItemsPerRun * static_cast<long>(Size));
}

#define KEZ_QUEUE_BENCH(size)                                                                    \
    BENCHMARK(BM_TsqThroughput<size>)->Arg(1)->Arg(256)->UseRealTime();                          \
    BENCHMARK(BM_MoodycamelThroughputAnchor<size>)->Arg(1)->Arg(256)->UseRealTime();             \
    BENCHMARK(BM_MutexRingThroughputAnchor<size>)->Arg(1)->Arg(256)->UseRealTime();

KEZ_QUEUE_BENCH(8)
KEZ_QUEUE_BENCH(64)
KEZ_QUEUE_BENCH(4096)

// One item there and back; the time per round trip.
void BM_TsqPingPong(benchmark::State &state) {
    KmtTSQHandle ping = nullptr, pong = nullptr;
    KmtNewTSQ(4, 8, 0, &ping);
    KmtNewTSQ(4, 8, 0, &pong);
    long value = 0;
    std::thread echo([&] {
        long v = 0;
        while (KmtReadTSQData(ping, &v, 1, -1, 0) == 1 && v >= 0) KmtWriteTSQData(pong, &v, 1, -1, nullptr);
    });
    for (auto _ : state) {
        ++value;
        KmtWriteTSQData(ping, &value, 1, -1, nullptr);
        long back = 0;
        KmtReadTSQData(pong, &back, 1, -1, 0);
    }
    const long stop = -1;
    KmtWriteTSQData(ping, &stop, 1, -1, nullptr);
    echo.join();
    KmtDiscardTSQ(ping);
    KmtDiscardTSQ(pong);
}
BENCHMARK(BM_TsqPingPong)->UseRealTime();

void BM_MoodycamelPingPongAnchor(benchmark::State &state) {
    moodycamel::BlockingReaderWriterQueue<long> ping(4), pong(4);
    std::thread echo([&] {
        long v = 0;
        for (;;) {
            ping.wait_dequeue(v);
            if (v < 0) return;
            pong.enqueue(v);
        }
    });
    long value = 0;
    for (auto _ : state) {
        ping.enqueue(++value);
        long back = 0;
        pong.wait_dequeue(back);
    }
    ping.enqueue(-1);
    echo.join();
}
BENCHMARK(BM_MoodycamelPingPongAnchor)->UseRealTime();

}  // namespace
