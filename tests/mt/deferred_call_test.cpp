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
#include "support/eventually.h"
#include "support/latch.h"
#include "support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using kez::test::eventually;

class DeferredCalls : public testing::Test {
    kez::test::Watchdog watchdog_{180s, testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// What the calls of one test did; only the thread that runs them writes it.
struct Trace {
    std::vector<int> values;
    std::vector<unsigned> threads;
    void note(int value) {
        values.push_back(value);
        threads.push_back(KmtGetCurrentThreadID());
    }
};

struct Step {
    Trace *trace;
    int value;
};

void record_step(void *data) {
    auto *step = static_cast<Step *>(data);
    step->trace->note(step->value);
}

// ---- order and timing -----------------------------------------------------------

// Calls from other threads run on the target, in posting order and once
// each, only when it processes events. The call table is not held while
// calls run: the first call waits for another thread's post to the same
// target, and a chain link posts to its own thread: each new call waits
// for the following processing.
struct Posts {
    Trace trace;
    Step steps[4];
    int links_left = 3;
    std::atomic<bool> running{false}, other_posted{false};
    bool saw_post_while_running = false;
};

void wait_for_other_post(void *data) {
    auto *posts = static_cast<Posts *>(data);
    posts->running.store(true);
    posts->saw_post_while_running = eventually([posts] { return posts->other_posted.load(); }, 5s);
    posts->trace.note(0);
}

void chain_link(void *data) {
    auto *posts = static_cast<Posts *>(data);
    posts->trace.note(10 + posts->links_left);
    if (--posts->links_left > 0) PostDeferredCallToThread(chain_link, posts, KmtGetCurrentThreadID());
}

TEST_F(DeferredCalls, CallsRunInPostingOrderOnlyWhenTheTargetProcessesAndLaterPostsWaitForTheNextProcessing) {
    Posts posts;
    std::atomic<unsigned> target_id{0};
    std::atomic<bool> posted{false};
    std::vector<std::size_t> sizes;
    std::thread target([&] {
        target_id.store(KmtGetCurrentThreadID());
        eventually([&] { return posted.load(); });
        kez::os::sleep_ms(20);  // posted calls must not run on their own meanwhile
        for (int i = 0; i < 4; ++i) {
            sizes.push_back(posts.trace.values.size());
            ProcessSystemEvents();
        }
        sizes.push_back(posts.trace.values.size());
    });
    ASSERT_TRUE(eventually([&] { return target_id.load() != 0; }));
    EXPECT_EQ(PostDeferredCallToThread(wait_for_other_post, &posts, target_id.load()), 0);
    for (int i = 0; i < 3; ++i) {
        posts.steps[i] = {&posts.trace, i + 1};
        EXPECT_EQ(PostDeferredCallToThread(record_step, &posts.steps[i], target_id.load()), 0);
    }
    EXPECT_EQ(PostDeferredCallToThread(chain_link, &posts, target_id.load()), 0);
    posted.store(true);
    posts.steps[3] = {&posts.trace, 4};
    std::thread([&] {
        EXPECT_TRUE(eventually([&] { return posts.running.load(); })) << "the target never ran the first call";
        PostDeferredCallToThread(record_step, &posts.steps[3], target_id.load());
        posts.other_posted.store(true);
    }).join();
    target.join();
    EXPECT_TRUE(posts.saw_post_while_running) << "a post waited for a running deferred call";
    EXPECT_EQ(sizes, (std::vector<std::size_t>{0, 5, 7, 8, 8})) << "a call ran early or twice";
    EXPECT_EQ(posts.trace.values, (std::vector<int>{0, 1, 2, 3, 13, 4, 12, 11}));
    EXPECT_EQ(posts.trace.threads, std::vector<unsigned>(8, target_id.load()));
}

// ---- targets that never process -----------------------------------------------------

struct Canary {
    std::uint64_t head = 0xC0FFEE0DDBA11ULL;
    std::atomic<int> calls{0};
    std::uint64_t tail = 0x5EED5EED5EEDULL;
};

void touch_canary(void *data) { static_cast<Canary *>(data)->calls.fetch_add(1); }

TEST_F(DeferredCalls, CallsForAThreadThatEndedOrForIdsNoThreadHasAreDroppedUntouched) {
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
    for (unsigned id : {dead, dead, 0u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(PostDeferredCallToThread(touch_canary, canary.get(), id), 0) << id;
        EXPECT_EQ(_UP_PostDeferredCallToThread(touch_canary, canary.get(), id), 0) << id;
    }
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
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(canary->calls.load(), 0) << "probe threads that had the ended thread's id: " << reused;
    EXPECT_EQ(canary->head, 0xC0FFEE0DDBA11ULL);
    EXPECT_EQ(canary->tail, 0x5EED5EED5EEDULL);
}

// ---- the main thread ---------------------------------------------------------------

TEST_F(DeferredCalls, PostDeferredCallReachesTheEnginesMainThread) {
    if (KmtGetMainThreadID() != KmtGetCurrentThreadID())
        GTEST_SKIP() << "the tests do not run on the thread that loaded the engine";
    Trace trace;
    Step steps[2] = {{&trace, 1}, {&trace, 2}};
    std::vector<int> results;
    std::thread([&] {
        results = {PostDeferredCall(record_step, &steps[0]), _UP_PostDeferredCall(record_step, &steps[1])};
        ProcessSystemEvents();  // not the target: runs nothing of ours
    }).join();
    EXPECT_EQ(results, (std::vector<int>{0, 0}));
    EXPECT_TRUE(trace.values.empty());
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(ProcessSystemEvents(), 0);
    EXPECT_EQ(trace.values, (std::vector<int>{1, 2}));
    EXPECT_EQ(trace.threads, std::vector<unsigned>(2, KmtGetMainThreadID()));
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
    long long total = 0, bad = 0;  // calls out of poster order or on another thread
    std::uintptr_t next[kPosters] = {};
};
Consumer *g_consumer = nullptr;

// The data word carries the poster's index and its sequence number.
void consume(void *data) {
    const auto word = reinterpret_cast<std::uintptr_t>(data), poster = word >> 24, sequence = word & 0xFFFFFF;
    Consumer &c = *g_consumer;
    if (KmtGetCurrentThreadID() != c.thread || poster >= kPosters || sequence != c.next[poster]++) ++c.bad;
    ++c.total;
}

TEST_F(DeferredCalls, EightPostersToOneConsumerEachCallRunsOnceInPosterOrder) {
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
        for (auto last_progress = std::chrono::steady_clock::now(); consumer.total < expected;) {
            const long long before = consumer.total;
            ProcessSystemEvents();
            if (consumer.total != before) {
                last_progress = std::chrono::steady_clock::now();
            } else if (posters_done.load() && std::chrono::steady_clock::now() - last_progress > 5s) {
                break;
            }
        }
        ProcessSystemEvents();
        after_extra_processing = consumer.total;
    });
    ASSERT_TRUE(eventually([&] { return consumer_id.load() != 0; }));
    std::vector<std::thread> posters;
    for (std::uintptr_t p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            start.arrive_and_wait();
            for (std::uintptr_t i = 0; i < kPostsPerPoster; ++i)
                failed_posts +=
                    PostDeferredCallToThread(consume, reinterpret_cast<void *>(p << 24 | i), consumer_id) != 0;
        });
    }
    for (std::thread &t : posters) t.join();
    posters_done.store(true);
    consumer_thread.join();
    g_consumer = nullptr;
    EXPECT_EQ(failed_posts.load(), 0);
    EXPECT_EQ(consumer.total, expected);
    EXPECT_EQ(after_extra_processing, expected) << "calls ran more than once";
    EXPECT_EQ(consumer.bad, 0);
}

}  // namespace
