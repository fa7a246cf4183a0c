// Deferred calls: any thread posts a call to a thread, which runs its calls
// in posting order, each once, when it processes events; calls for a thread
// that ended are dropped untouched.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "kez/multithreading.h"
#include "kez/runtime.h"
#include "os/os.h"
#include "support/latch.h"
#include "support/eventually.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using kez::test::Watchdog;

using kez::test::eventually;

// What the calls of one test did; only the thread that runs them writes it.
struct Trace {
    std::vector<int> values;
    std::vector<unsigned> threads;
};

struct Step {
    Trace *trace;
    int value;
};

void record_step(void *data) {
    auto *step = static_cast<Step *>(data);
    step->trace->values.push_back(step->value);
    step->trace->threads.push_back(KmtGetCurrentThreadID());
}

// ---- order and timing -----------------------------------------------------------

TEST(DeferredCalls, CallsFromAnotherThreadRunInPostingOrderOnlyWhenTheTargetProcesses) {
    Watchdog watchdog(60s, "deferred calls in posting order");
    Trace trace;
    Step steps[3] = {{&trace, 1}, {&trace, 2}, {&trace, 3}};
    std::atomic<unsigned> target_id{0};
    std::atomic<bool> posted{false};
    std::size_t seen_before = 99, seen_after_first = 99, seen_after_second = 99;
    int first_status = -1, second_status = -1;

    std::thread target([&] {
        target_id.store(KmtGetCurrentThreadID());
        eventually([&] { return posted.load(); });
        kez::os::sleep_ms(20);  // posted calls must not run on their own meanwhile
        seen_before = trace.values.size();
        first_status = ProcessSystemEvents();
        seen_after_first = trace.values.size();
        second_status = ProcessSystemEvents();
        seen_after_second = trace.values.size();
    });
    ASSERT_TRUE(eventually([&] { return target_id.load() != 0; }));
    for (Step &step : steps) EXPECT_EQ(PostDeferredCallToThread(record_step, &step, target_id.load()), 0);
    posted.store(true);
    target.join();

    EXPECT_EQ(seen_before, 0u);
    EXPECT_EQ(first_status, 0);
    EXPECT_EQ(second_status, 0);
    EXPECT_EQ(seen_after_first, 3u);
    EXPECT_EQ(seen_after_second, 3u) << "a call ran twice";
    EXPECT_EQ(trace.values, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(trace.threads, std::vector<unsigned>(trace.threads.size(), target_id.load()));
}

// A call that posts to its own thread: the new call waits for the following
// processing, so each processing runs exactly one link of the chain.
struct Chain {
    Trace trace;
    int links_left = 0;
};

void chain_link(void *data) {
    auto *chain = static_cast<Chain *>(data);
    chain->trace.values.push_back(chain->links_left);
    chain->trace.threads.push_back(KmtGetCurrentThreadID());
    if (--chain->links_left > 0) PostDeferredCallToThread(chain_link, chain, KmtGetCurrentThreadID());
}

TEST(DeferredCalls, ACallPostedWhileCallsRunWaitsForTheNextProcessing) {
    Watchdog watchdog(60s, "chained deferred calls");
    Chain chain;
    chain.links_left = 3;
    std::vector<std::size_t> sizes;
    unsigned self = 0;
    std::thread([&] {
        self = KmtGetCurrentThreadID();
        PostDeferredCallToThread(chain_link, &chain, self);
        for (int i = 0; i < 4; ++i) {
            ProcessSystemEvents();
            sizes.push_back(chain.trace.values.size());
        }
    }).join();
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 3, 3}));
    EXPECT_EQ(chain.trace.values, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(chain.trace.threads, std::vector<unsigned>(3, self));
}

// The call table is not held while calls run: a running call can wait for
// another thread's post to the same thread without stalling it.
struct BlockingCall {
    std::atomic<bool> other_posted{false};
    bool saw_post_while_running = false;
    Trace trace;
};

void wait_for_other_post(void *data) {
    auto *call = static_cast<BlockingCall *>(data);
    call->saw_post_while_running = eventually([call] { return call->other_posted.load(); }, 5s);
    call->trace.values.push_back(1);
}

void note_second(void *data) { static_cast<BlockingCall *>(data)->trace.values.push_back(2); }

TEST(DeferredCalls, ARunningCallDoesNotBlockOtherPosters) {
    Watchdog watchdog(60s, "posting while a deferred call runs");
    BlockingCall call;
    std::atomic<unsigned> target_id{0};
    std::atomic<bool> running{false};
    std::size_t after_first = 99, after_second = 99;
    std::thread target([&] {
        target_id.store(KmtGetCurrentThreadID());
        PostDeferredCallToThread(wait_for_other_post, &call, target_id.load());
        running.store(true);
        ProcessSystemEvents();
        after_first = call.trace.values.size();
        ProcessSystemEvents();
        after_second = call.trace.values.size();
    });
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    std::thread poster([&] {
        PostDeferredCallToThread(note_second, &call, target_id.load());
        call.other_posted.store(true);
    });
    poster.join();
    target.join();
    EXPECT_TRUE(call.saw_post_while_running) << "a post waited for a running deferred call";
    EXPECT_EQ(after_first, 1u);
    EXPECT_EQ(after_second, 2u);
    EXPECT_EQ(call.trace.values, (std::vector<int>{1, 2}));
}

// ---- targets that never process -----------------------------------------------------

struct Canary {
    std::uint64_t head = 0xC0FFEE0DDBA11ULL;
    std::atomic<int> calls{0};
    std::uint64_t tail = 0x5EED5EED5EEDULL;
};

void touch_canary(void *data) { static_cast<Canary *>(data)->calls.fetch_add(1); }

TEST(DeferredCalls, CallsQueuedForAThreadThatEndedAreDroppedUntouched) {
    Watchdog watchdog(60s, "calls for an ended thread");
    // On the heap, owned by the test: a free by the engine shows as a double
    // free under the address sanitizer.
    auto canary = std::make_unique<Canary>();
    std::atomic<unsigned> target_id{0};
    std::atomic<bool> posted{false};
    std::thread target([&] {
        ProcessSystemEvents();  // a thread the engine has seen
        target_id.store(KmtGetCurrentThreadID());
        eventually([&] { return posted.load(); });
    });
    ASSERT_TRUE(eventually([&] { return target_id.load() != 0; }));
    const unsigned dead = target_id.load();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PostDeferredCallToThread(touch_canary, canary.get(), dead), 0);
    posted.store(true);
    target.join();

    // Threads started afterwards may be given the ended thread's id (Windows
    // reuses ids soon); none of them may inherit its calls.
    int reused = 0;
    for (int i = 0; i < 64; ++i) {
        std::thread([&] {
            if (KmtGetCurrentThreadID() == dead) ++reused;
            ProcessSystemEvents();
        }).join();
    }
    ProcessSystemEvents();
    EXPECT_EQ(canary->calls.load(), 0) << "probe threads that had the ended thread's id: " << reused;
    EXPECT_EQ(canary->head, 0xC0FFEE0DDBA11ULL);
    EXPECT_EQ(canary->tail, 0x5EED5EED5EEDULL);
}

std::atomic<int> g_stray_calls{0};
void stray_call(void *) { g_stray_calls.fetch_add(1); }

TEST(DeferredCalls, PostsToIdsThatNoThreadHasSucceedAndNeverRun) {
    Watchdog watchdog(60s, "posts to ids without a thread");
    const int before = g_stray_calls.load();
    for (unsigned id : {0u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(PostDeferredCallToThread(stray_call, nullptr, id), 0) << id;
        EXPECT_EQ(_UP_PostDeferredCallToThread(stray_call, nullptr, id), 0) << id;
    }
    EXPECT_EQ(ProcessSystemEvents(), 0);
    std::thread([] { ProcessSystemEvents(); }).join();
    EXPECT_EQ(g_stray_calls.load(), before);
}

// ---- the main thread ---------------------------------------------------------------

struct MainCall {
    std::atomic<int> calls{0};
    std::atomic<unsigned> thread{0};
};

void note_main_call(void *data) {
    auto *call = static_cast<MainCall *>(data);
    call->thread.store(KmtGetCurrentThreadID());
    call->calls.fetch_add(1);
}

TEST(DeferredCalls, PostDeferredCallReachesTheEnginesMainThread) {
    if (KmtGetMainThreadID() != KmtGetCurrentThreadID())
        GTEST_SKIP() << "the tests do not run on the thread that loaded the engine";
    Watchdog watchdog(60s, "deferred call to the main thread");
    MainCall plain, twin;
    int results[2] = {-1, -1};
    std::thread([&] {
        results[0] = PostDeferredCall(note_main_call, &plain);
        results[1] = _UP_PostDeferredCall(note_main_call, &twin);
        ProcessSystemEvents();  // not the target: runs nothing of ours
    }).join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(plain.calls.load(), 0);
    EXPECT_EQ(twin.calls.load(), 0);
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(plain.calls.load(), 1);
    EXPECT_EQ(twin.calls.load(), 1);
    EXPECT_EQ(plain.thread.load(), KmtGetMainThreadID());
    EXPECT_EQ(twin.thread.load(), KmtGetMainThreadID());
    ProcessSystemEvents();
    EXPECT_EQ(plain.calls.load(), 1);
}

// ---- many posters, one consumer --------------------------------------------------

#if defined(_WIN32)
constexpr int kPostsPerPoster = 10000;  // thread switches are slow under Wine
#else
constexpr int kPostsPerPoster = 100000;
#endif
constexpr int kPosters = 8;

// Only the consumer thread runs the calls, so its record needs no lock.
struct Consumer {
    unsigned thread = 0;
    long long total = 0;
    long long out_of_order = 0;
    long long wrong_thread = 0;
    int next[kPosters] = {};
};
Consumer *g_consumer = nullptr;

// The data word carries the poster's index and its sequence number.
void consume(void *data) {
    const auto word = reinterpret_cast<std::uintptr_t>(data);
    const int poster = static_cast<int>(word >> 24);
    const int sequence = static_cast<int>(word & 0xFFFFFF);
    Consumer &c = *g_consumer;
    if (KmtGetCurrentThreadID() != c.thread) ++c.wrong_thread;
    if (poster < 0 || poster >= kPosters || sequence != c.next[poster]) {
        ++c.out_of_order;
    } else {
        ++c.next[poster];
    }
    ++c.total;
}

TEST(DeferredCalls, EightPostersToOneConsumerEachCallRunsOnceInPosterOrder) {
    Watchdog watchdog(180s, "eight posters, one consumer");
    Consumer consumer;
    g_consumer = &consumer;
    const long long expected = static_cast<long long>(kPosters) * kPostsPerPoster;
    std::atomic<unsigned> consumer_id{0};
    std::atomic<int> failed_posts{0};
    std::atomic<bool> posters_done{false};
    long long after_extra_processing = -1;
    kez::test::Latch start(kPosters + 1);

    std::thread consumer_thread([&] {
        consumer.thread = KmtGetCurrentThreadID();
        consumer_id.store(consumer.thread);
        start.arrive_and_wait();
        // Gives up once the posters are done and nothing arrived for a while:
        // a lost call then shows as a short count, not as a hang.
        auto last_progress = std::chrono::steady_clock::now();
        while (consumer.total < expected) {
            const long long before = consumer.total;
            ProcessSystemEvents();
            if (consumer.total != before) {
                last_progress = std::chrono::steady_clock::now();
            } else {
                if (posters_done.load() && std::chrono::steady_clock::now() - last_progress > 5s) break;
                std::this_thread::yield();
            }
        }
        ProcessSystemEvents();
        after_extra_processing = consumer.total;
    });
    ASSERT_TRUE(eventually([&] { return consumer_id.load() != 0; }));
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            start.arrive_and_wait();
            for (int i = 0; i < kPostsPerPoster; ++i) {
                const std::uintptr_t word = (static_cast<std::uintptr_t>(p) << 24) | static_cast<std::uintptr_t>(i);
                if (PostDeferredCallToThread(consume, reinterpret_cast<void *>(word), consumer_id.load()) != 0)
                    failed_posts.fetch_add(1);
            }
        });
    }
    for (std::thread &t : posters) t.join();
    posters_done.store(true);
    consumer_thread.join();
    g_consumer = nullptr;

    EXPECT_EQ(failed_posts.load(), 0);
    EXPECT_EQ(consumer.total, expected);
    EXPECT_EQ(after_extra_processing, expected) << "calls ran more than once";
    EXPECT_EQ(consumer.out_of_order, 0);
    EXPECT_EQ(consumer.wrong_thread, 0);
    for (int p = 0; p < kPosters; ++p) EXPECT_EQ(consumer.next[p], kPostsPerPoster) << "poster " << p;
}

}  // namespace
