// The user heap, linked statically: block shapes, first fit, host fall-back
// sizes, misuse reports, hooks, and a randomized threaded run.
#include "core/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "debug/resource_tracking.h"
#include "os/fault.h"
#include "os/os.h"
#include "protect/heap_hooks.h"
#include "protect/runtime_error.h"
#include "support/linked_engine_tap.h"
#include "support/watchdog.h"

// Declared here, not through the engine's C header, so gtest keeps the host's malloc.
extern "C" {
void *kez_malloc(std::size_t size);
void *kez_calloc(std::size_t count, std::size_t size);
void *kez_realloc(void *ptr, std::size_t size);
void kez_free(void *ptr);
}

namespace {

using namespace kez::core;
namespace protect = kez::protect;

const char kFreeMessage[] = "Attempt to free pointer to memory not allocated by malloc() or calloc().";
const char kReallocMessage[] = "Attempt to realloc pointer to memory not allocated by malloc() or calloc().";
const char kCorrupt[] = "Dynamic memory is corrupt.";

using Report = std::pair<int, std::string>;  // severity, text
std::mutex g_reports_lock;
std::vector<Report> g_reports;

std::vector<Report> take_reports() {
    std::lock_guard<std::mutex> lock(g_reports_lock);
    return std::exchange(g_reports, {});
}

BlockHeader *header_of(void *p) { return reinterpret_cast<BlockHeader *>(static_cast<char *>(p) - kBlockHeader); }

std::string consistency() {
    char why[160];
    const int token = BeginUserMemCriticalSection();
    const bool ok = heap_consistent(why, sizeof why);
    EndUserMemCriticalSection(token);
    return ok ? "" : why;
}

class Heap : public testing::Test {
  protected:
    void SetUp() override {
        protect::set_runtime_error_sink([](int severity, const char *text) {
            std::lock_guard<std::mutex> lock(g_reports_lock);
            g_reports.push_back({severity, text});
        });
        protect::set_debugging_level(protect::kNoDebugging);
        take_reports();
    }
    void TearDown() override {
        kez::fault::disarm_all();
        protect::set_heap_hooks(nullptr);
        kez::debug::set_resource_tracker(nullptr);
        protect::set_debugging_level(protect::kNoDebugging);
        EXPECT_EQ(consistency(), "");
        EXPECT_TRUE(take_reports().empty());
        EXPECT_EQ(std::make_pair(heap_stats().regions, heap_stats().host_bytes),
                  std::make_pair(std::size_t{0}, std::size_t{0}))
            << "blocks left behind";
        protect::set_runtime_error_sink(nullptr);
    }
};

TEST_F(Heap, BlockShapesTrivialCasesAndSizesThatCannotBeServed) {
    EXPECT_EQ(kez_malloc(0), nullptr);
    EXPECT_EQ(kez_calloc(0, 8), nullptr);
    EXPECT_EQ(kez_calloc(8, 0), nullptr);
    void *one = kez_malloc(1), *sixteen = kez_malloc(16), *seventeen = kez_malloc(17);
    for (void *p : {one, sixteen, seventeen}) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    }
    EXPECT_EQ(std::make_tuple(header_of(one)->size, header_of(sixteen)->size, header_of(seventeen)->size),
              std::make_tuple(16u, 16u, 32u));
    EXPECT_EQ(static_cast<char *>(sixteen), static_cast<char *>(one) + 32);  // first fit in a fresh region

    std::memset(seventeen, 0xAB, 17);  // calloc zero-fills even memory that held something
    kez_free(seventeen);
    auto *zeros = static_cast<unsigned char *>(kez_calloc(3, 10));
    ASSERT_EQ(static_cast<void *>(zeros), seventeen);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(zeros[i], 0) << i;

    void *fresh = kez_realloc(nullptr, 40);  // allocates; to size 0 it frees
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(header_of(fresh)->size, 48u);
    EXPECT_EQ(kez_realloc(fresh, 0), nullptr);
    kez_free(nullptr);
    for (void *p : {one, sixteen, static_cast<void *>(zeros)}) kez_free(p);
    // Sizes that cannot be served give null without touching the heap.
    void *kept = kez_malloc(100);
    ASSERT_NE(kept, nullptr);
    std::memset(kept, 0x5A, 100);
    const HeapStats before = heap_stats();
    for (std::size_t n : {SIZE_MAX, SIZE_MAX - 15, SIZE_MAX - 31, SIZE_MAX - 79, kMaxRequest + 1}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(kez_malloc(n), nullptr);
        EXPECT_EQ(_AllocDynamicUserMem(n, 0), nullptr);
        EXPECT_EQ(kez_realloc(kept, n), nullptr);
        EXPECT_EQ(kez_calloc(1, n), nullptr);
    }
    EXPECT_EQ(kez_calloc(SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(kez_calloc(2, SIZE_MAX / 2 + 1), nullptr);
    const HeapStats after = heap_stats();  // the host was not even asked
    EXPECT_EQ(std::tie(after.regions, after.host_bytes, after.host_requests),
              std::tie(before.regions, before.host_bytes, before.host_requests));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(static_cast<unsigned char *>(kept)[i], 0x5A);
    EXPECT_EQ(header_of(kept)->size, 112u);
    kez_free(kept);
    // Representable, but no host has it (the sanitizers are told to return
    // null for such requests, as the C library does): null, no report.
    EXPECT_EQ(kez_malloc(std::size_t{1} << 52), nullptr);
    EXPECT_EQ(kez_calloc(std::size_t{1} << 26, std::size_t{1} << 26), nullptr);
}

TEST_F(Heap, FirstFitSplittingCoalescingAndShrinkingInPlace) {
    void *a = kez_malloc(64), *b = kez_malloc(64), *c = kez_malloc(64), *d = kez_malloc(64);
    kez_free(b);
    void *b2 = kez_malloc(48);  // the remainder of 16 bytes stays with the block
    EXPECT_EQ(std::make_pair(b2, header_of(b2)->size), std::make_pair(b, std::size_t{64}));
    kez_free(b2);
    void *b3 = kez_malloc(32);  // split; the 16 bytes after the remainder's header are free
    EXPECT_EQ(std::make_pair(b3, header_of(b3)->size), std::make_pair(b, std::size_t{32}));
    void *rest = kez_malloc(16);
    EXPECT_EQ(static_cast<char *>(rest), static_cast<char *>(b) + 48);
    // b3, rest and c merge into one free block of 144 bytes where b was: 144
    // fits there exactly, before the top; 145 does not.
    for (void *p : {b3, c, rest}) kez_free(p);
    void *beyond = kez_malloc(145);
    EXPECT_GT(beyond, d);
    void *big = kez_malloc(144);
    EXPECT_EQ(std::make_pair(big, header_of(big)->size), std::make_pair(b, std::size_t{144}));
    for (void *p : {a, d, big, beyond}) kez_free(p);
    // realloc shrinks in place and merges the tail.
    void *e = kez_malloc(64);
    ASSERT_EQ(kez_realloc(e, 48), e);  // shrinking by 16 keeps the block as it is
    EXPECT_EQ(header_of(e)->size, 64u);
    // By 32 the tail becomes free and merges with the top after it.
    ASSERT_EQ(kez_realloc(e, 32), e);
    EXPECT_EQ(header_of(e)->size, 32u);
    auto *tail = reinterpret_cast<BlockHeader *>(static_cast<char *>(e) + 32);
    EXPECT_EQ(tail->check, free_check(tail));
    EXPECT_EQ(region_of(e)->top, reinterpret_cast<char *>(tail));
    EXPECT_EQ(consistency(), "");
    void *f = kez_malloc(16);
    EXPECT_EQ(static_cast<char *>(f), static_cast<char *>(e) + 48);
    for (void *p : {e, f}) kez_free(p);
}

TEST_F(Heap, ReallocGrowsIntoTheFreeBlockAfterItAndGrowsARegionMadeForALargeBlock) {
    void *a = kez_malloc(64), *b = kez_malloc(64), *c = kez_malloc(256), *d = kez_malloc(64);
    std::memset(a, 0x11, 64);
    kez_free(b);
    // 64 + 16 + 64 bytes: 128 leaves 16, which stays with the block.
    ASSERT_EQ(kez_realloc(a, 128), a);
    EXPECT_EQ(header_of(a)->size, 144u);
    EXPECT_EQ(consistency(), "");
    // No room after it (c is in use): moved to the lowest free block that fits.
    kez_free(c);
    std::memset(a, 0x22, 144);
    ASSERT_EQ(kez_realloc(d, 80), d);  // into the top, split
    EXPECT_EQ(header_of(d)->size, 80u);
    EXPECT_EQ(region_of(d)->top, static_cast<char *>(d) + 80);
    void *moved = kez_realloc(a, 432);  // 144 + 16 + 256 is not enough: the top
    EXPECT_EQ(moved, static_cast<char *>(d) + 96);
    for (int i = 0; i < 144; ++i) ASSERT_EQ(static_cast<unsigned char *>(moved)[i], 0x22) << i;
    // Where a was, 416 bytes are free; a small block takes their front, and
    // grows into the rest, split.
    void *e = kez_malloc(16);
    EXPECT_EQ(e, a);
    ASSERT_EQ(kez_realloc(e, 200), a);
    EXPECT_EQ(header_of(e)->size, 208u);
    auto *rest = reinterpret_cast<BlockHeader *>(static_cast<char *>(e) + 208);
    EXPECT_EQ(std::make_pair(rest->size, rest->check), std::make_pair(std::size_t{192}, free_check(rest)));
    EXPECT_EQ(consistency(), "");
    for (void *p : {d, moved, e}) kez_free(p);

    // A block alone in its region grows with it: the host resizes the region
    // (and may move it, the block with it).
    ASSERT_EQ(heap_stats().regions, 0u);
    HeapStats before = heap_stats();
    auto *big = static_cast<unsigned char *>(kez_malloc(200000));
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(header_of(big)->size, 200016u);  // the 16 bytes left stay with it
    for (std::size_t i = 0; i < 200000; ++i) big[i] = static_cast<unsigned char>(i * 7);
    auto *grown = static_cast<unsigned char *>(kez_realloc(big, 300000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(header_of(grown)->size, 300000u);
    EXPECT_EQ(std::make_tuple(heap_stats().regions, heap_stats().host_bytes, heap_stats().host_requests),
              std::make_tuple(std::size_t{1}, std::size_t{200080 + 99984}, before.host_requests + 2));
    EXPECT_EQ(region_of(grown)->top, region_of(grown)->arena_end);
    EXPECT_EQ(consistency(), "");
    // Shrunk, it leaves a free top, and grows into it again. With a second
    // block in the region the region cannot move: the block moves.
    ASSERT_EQ(kez_realloc(grown, 250000), grown);
    ASSERT_EQ(kez_realloc(grown, 260000), grown);
    void *small = kez_malloc(1000);
    EXPECT_EQ(small, grown + 260016);
    auto *moved_big = static_cast<unsigned char *>(kez_realloc(grown, 310000));
    ASSERT_NE(moved_big, nullptr);
    EXPECT_NE(moved_big, grown);
    EXPECT_EQ(heap_stats().regions, 2u);
    kez_free(small);
    EXPECT_EQ(std::make_pair(heap_stats().regions, heap_stats().host_bytes), std::make_pair(std::size_t{1}, std::size_t{310080}));
    // The host refuses to resize: the block moves to a new region.
    kez::fault::arm("os.host_realloc", 1);
    before = heap_stats();
    auto *far = static_cast<unsigned char *>(kez_realloc(moved_big, 320000));
    ASSERT_NE(far, nullptr);
    EXPECT_NE(far, moved_big);
    EXPECT_EQ(std::make_tuple(heap_stats().regions, heap_stats().host_bytes, heap_stats().host_requests),
              std::make_tuple(std::size_t{1}, std::size_t{320080}, before.host_requests + 2));
    for (std::size_t i = 0; i < 200000; ++i) ASSERT_EQ(far[i], static_cast<unsigned char>(i * 7)) << i;
    EXPECT_EQ(consistency(), "");
    kez_free(far);
}

TEST_F(Heap, AFreeMakesAFullRegionSearchableAgain) {
    // Region 1: one free block of 102400 - 48 - 16 bytes, taken by two blocks
    // exactly; its free list is then empty and a small block goes to region 2.
    void *a = kez_malloc(51152);
    void *b = kez_malloc(51168);
    ASSERT_EQ(static_cast<char *>(b), static_cast<char *>(a) + 51168);
    void *c = kez_malloc(64);
    EXPECT_EQ(heap_stats().regions, 2u);
    ASSERT_EQ(region_of(c), first_region()->next);
    kez_free(a);  // region 1, first in list order, has a free block again
    void *d = kez_malloc(64);
    EXPECT_EQ(d, a);
    for (void *p : {b, c, d}) kez_free(p);
}

TEST_F(Heap, HostRefusalsFallBackInStepsToTheMinimumAndTheReserveIsNeededToo) {
    kez_free(kez_malloc(16));  // the region tables exist from here on
    const std::size_t expected[] = {102400, 92160, 81920, 71680, 61440, 51200, 40960, 30720, 20480, 96};
    for (int refusals = 0; refusals < 10; ++refusals) {
        SCOPED_TRACE(refusals);
        const std::size_t requests = heap_stats().host_requests;
        kez::fault::arm("os.host_alloc", refusals);
        void *p = kez_malloc(16);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(heap_stats().host_bytes, expected[refusals]);
        EXPECT_EQ(heap_stats().host_requests, requests + static_cast<std::size_t>(refusals) + 1);
        EXPECT_EQ(consistency(), "");
        kez_free(p);
    }
    kez::fault::arm("os.host_alloc", 10);
    EXPECT_EQ(kez_malloc(16), nullptr);
    EXPECT_EQ(heap_stats().regions, 0u);
    // Above the region size r + 80 is both preferred and minimum: asked for once.
    const std::size_t requests = heap_stats().host_requests;
    kez::fault::arm("os.host_alloc", 1);
    EXPECT_EQ(kez_malloc(200000), nullptr);
    EXPECT_EQ(heap_stats().host_requests, requests + 1);
    void *big = kez_malloc(200000);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(heap_stats().host_bytes, 200080u);
    kez_free(big);
    // The reserve must be available too.
    // Rows: fault armed for that many calls, reserve; result, size had, host requests.
    const std::tuple<const char *, int, std::size_t, int, std::size_t, std::size_t> cases[] = {
        {"", 0, 512, 1, 4096, 2},                             // the block and its reserve
        {"TryToMallocFromHost.reserve", 1, 512, 1, 3072, 3},  // no reserve: the next smaller size
        {"os.host_alloc", 100, 0, 0, 0, 3},                   // 4096, 3072, then the minimum refused
    };
    for (const auto &[fault, calls, reserve, rc, had, asked] : cases) {
        SCOPED_TRACE(fault);
        void *block = &block;
        std::size_t size = 1;
        const std::size_t before = heap_stats().host_requests;
        if (calls > 0) kez::fault::arm(fault, calls);
        ASSERT_EQ(TryToMallocFromHost(4096, 1024, 1024, reserve, &block, &size), rc);
        EXPECT_EQ(size, had);
        EXPECT_EQ(heap_stats().host_requests, before + asked);
        EXPECT_EQ(block == nullptr, rc == 0);
        if (rc == 1) kez::os::host_free(block);
    }
}

TEST_F(Heap, BadFreesAreReportedAndChangeNothing) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    void *a = kez_malloc(256), *b = kez_malloc(64), *c = kez_malloc(64), *d = kez_malloc(64);
    std::memset(a, 0, 256);
    kez_free(b);
    kez_free(c);  // merges with b
    const HeapStats before = heap_stats();
    int on_stack = 0;
    void *bad[] = {&on_stack,                            // no region
                   static_cast<char *>(a) + 32,          // inside a block
                   static_cast<char *>(a) + 1,           // misaligned
                   b,                                    // freed twice
                   c,                                    // freed, and inside a merged free block
                   static_cast<char *>(d) + 64 + 4096};  // past the top
    for (void *p : bad) {
        tap.mark();
        kez_free(p);
        EXPECT_EQ(take_reports(), std::vector<Report>{Report(protect::kNonFatal, kFreeMessage)}) << p;
        EXPECT_TRUE(tap.contains_since_mark(kFreeMessage));
        EXPECT_EQ(consistency(), "");
    }
    EXPECT_EQ(kez_realloc(&on_stack, 10), nullptr);
    EXPECT_EQ(kez_realloc(b, 10), nullptr);
    EXPECT_EQ(take_reports(), std::vector<Report>(2, Report(protect::kNonFatal, kReallocMessage)));
    EXPECT_EQ(std::make_pair(heap_stats().regions, heap_stats().host_bytes),
              std::make_pair(before.regions, before.host_bytes));
    void *bc = kez_malloc(144);  // the free block is still one block
    EXPECT_EQ(bc, b);
    for (void *p : {a, bc, d}) kez_free(p);
}

TEST_F(Heap, CorruptionFailsTheAllocationThatMeetsItAndTheExtendedLevelWalksTheRegion) {
    void *x = kez_malloc(64), *y = kez_malloc(64), *z = kez_malloc(64);
    kez_free(y);
    BlockHeader header = *header_of(y);
    std::memset(static_cast<char *>(x) + 64, 0x41, 16);  // an overrun of x over the free block's header
    EXPECT_NE(consistency(), "");
    EXPECT_EQ(kez_malloc(64), nullptr);
    EXPECT_EQ(take_reports(), std::vector<Report>{Report(protect::kFatal, kCorrupt)});
    *header_of(y) = header;
    EXPECT_EQ(consistency(), "");
    EXPECT_EQ(kez_malloc(64), y);
    for (void *p : {x, y, z}) kez_free(p);
    // The extended level walks the region to prove a block.
    protect::set_debugging_level(protect::kExtended);
    void *a = kez_malloc(1024), *b = kez_malloc(64), *c = kez_malloc(64);
    // A header forged inside a block passes every cheap check but the walk.
    auto *forged = reinterpret_cast<BlockHeader *>(static_cast<char *>(a) + 256);
    forged->size = 64;
    forged->check = allocated_check(forged);
    kez_free(reinterpret_cast<char *>(forged) + kBlockHeader);
    EXPECT_EQ(take_reports(), std::vector<Report>{Report(protect::kNonFatal, kFreeMessage)});
    // A corrupt header met on the way is reported as such, fatal.
    const std::size_t saved = header_of(b)->size;
    header_of(b)->size = 7;
    kez_free(c);
    EXPECT_EQ(take_reports(), std::vector<Report>{Report(protect::kFatal, kCorrupt)});
    EXPECT_TRUE(block_in_use_sound(c, 64));  // c was not freed
    header_of(b)->size = saved;
    EXPECT_EQ(consistency(), "");
    for (void *p : {a, b, c}) kez_free(p);
}

std::vector<std::pair<void *, std::size_t>> g_allocated_seen;
std::vector<void *> g_freed_seen;
void *g_protected = nullptr;
bool g_realloc_named = false;

std::string hex(const void *p, const char *format = "%llx") {
    char text[40];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}
std::vector<std::string> g_tracked;

TEST_F(Heap, UserProtectionAndResourceTrackingHearOfEveryBlock) {
    // Blocks are tracked as memory resources; then user protection hears of them.
    g_tracked.clear();
    const kez::debug::ResourceTracker tracker = {
        [] { return true; },
        [](std::uint64_t r, const char *type, const char *description) {
            g_tracked.push_back("+" + hex(reinterpret_cast<void *>(r)) + " " + type + " " + description);
        },
        [](std::uint64_t r) { g_tracked.push_back("-" + hex(reinterpret_cast<void *>(r))); },
    };
    kez::debug::set_resource_tracker(&tracker);
    void *one = kez_malloc(1), *two = kez_calloc(1, 2), *grown = kez_realloc(two, 5000);
    for (void *p : {one, grown}) kez_free(p);
    auto added = [](void *p, const char *size) {
        return "+" + hex(p) + " Memory Block 0x" + hex(p, "%016llX") + " of " + size;
    };
    EXPECT_EQ(g_tracked, (std::vector<std::string>{added(one, "1 byte"), added(two, "2 bytes"), "-" + hex(two),
                                                   added(grown, "5000 bytes"), "-" + hex(one), "-" + hex(grown)}));

    g_allocated_seen.clear();
    g_freed_seen.clear();
    const protect::HeapHooks hooks = {[](void *p, std::size_t n) {
                                          g_allocated_seen.push_back({p, n});
                                      },
                                      [](void *p) { return p == g_protected; },
                                      [](void *p) { g_freed_seen.push_back(p); }, [] { return g_realloc_named; }};
    protect::set_heap_hooks(&hooks);
    void *a = kez_malloc(10), *b = kez_malloc(20);
    ASSERT_EQ(g_allocated_seen.size(), 2u);
    EXPECT_EQ(g_allocated_seen[0], std::make_pair(a, std::size_t{16}));
    g_protected = b;
    kez_free(b);  // dealt with by protection: untouched
    EXPECT_TRUE(block_in_use_sound(b, 20));
    g_protected = nullptr;
    for (void *p : {a, b}) kez_free(p);
    EXPECT_EQ(g_freed_seen, (std::vector<void *>{a, b}));
    // At the user protection level only a realloc called by name stays in place.
    protect::set_debugging_level(protect::kUserProtection);
    void *c = kez_malloc(128);
    std::memset(c, 0x22, 128);
    g_realloc_named = false;
    void *moved = kez_realloc(c, 64);
    ASSERT_NE(moved, c);
    EXPECT_EQ(header_of(moved)->size, 64u);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<unsigned char *>(moved)[i], 0x22) << i;
    g_realloc_named = true;
    EXPECT_EQ(kez_realloc(moved, 32), moved);
    EXPECT_EQ(header_of(moved)->size, 32u);
    EXPECT_EQ(kez_realloc(moved, 48), moved);  // grown into the free tail again
    g_realloc_named = false;
    void *again = kez_realloc(moved, 64);  // the room is there, but the block may not stay
    ASSERT_NE(again, moved);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(static_cast<unsigned char *>(again)[i], 0x22) << i;
    kez_free(again);
}

// A block holds kPattern from an offset of its own.
const std::vector<unsigned char> kPattern = [] {
    std::vector<unsigned char> p(4096 + 2 * 200000);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>((i * 131 + (i >> 8)) & 0xFF);
    return p;
}();

struct Live {
    unsigned char *p = nullptr;
    std::size_t size = 0, offset = 0;
};

// `large` in a thousand are more than a region holds.
std::size_t random_size(std::mt19937_64 &rng, unsigned large) {
    const unsigned pick = static_cast<unsigned>(rng() % 1000);
    if (pick < 800) return 1 + rng() % 256;
    if (pick < 1000 - large) return 257 + rng() % 8000;
    return 100000 + rng() % 100000;
}

// realloc as an appending program calls it: somewhat more each time.
std::size_t grown_size(std::size_t size, std::mt19937_64 &rng, unsigned large) {
    const std::size_t n = size + 1 + rng() % (size / 2 + 64);
    return n <= 2 * 200000 ? n : random_size(rng, large);
}

bool intact(const Live &l) { return std::memcmp(l.p, kPattern.data() + l.offset, l.size) == 0; }

// How the blocks that realloc grew got their room.
struct Grown {
    int in_place = 0;   // the free block after it
    int by_region = 0;  // its region grew (and may have moved)
    int moved = 0;      // another block
};

// One thread's share of the random run: the first fault found, or "". The
// heap's consistency is checked every check_every operations; `grown`
// (single thread only) counts how realloc grew blocks.
std::string churn(unsigned seed, int operations, int check_every, Grown *grown) {
    std::mt19937_64 rng(seed);
    std::vector<Live> live(1000);
    const unsigned large = grown != nullptr ? 50 : 5;  // one thread: more blocks that grow their region
    int op = 0;
    auto run = [&]() -> std::string {
        for (; op < operations; ++op) {
            Live &l = live[rng() % live.size()];
            const unsigned kind = static_cast<unsigned>(rng() % 10);
            if (l.p == nullptr) {
                const std::size_t n = random_size(rng, large);
                l.offset = rng() % 4096;
                l.p = static_cast<unsigned char *>(kind < 2 ? kez_calloc(1, n) : kez_malloc(n));
                if (l.p == nullptr) return "no memory";
                if (kind < 2 && (l.p[0] | l.p[n / 2] | l.p[n - 1]) != 0) return "calloc did not zero-fill";
                l.size = n;
                std::memcpy(l.p, kPattern.data() + l.offset, n);
            } else if (kind < 5) {
                if (!intact(l)) return "contents changed";
                kez_free(l.p);
                l.p = nullptr;
                continue;
            } else {
                const std::size_t n = kind == 9 ? grown_size(l.size, rng, large) : random_size(rng, large);
                const HeapStats before = grown != nullptr ? heap_stats() : HeapStats{};
                auto *q = static_cast<unsigned char *>(kez_realloc(l.p, n));
                if (q == nullptr) return "realloc failed";
                if (grown != nullptr && n > l.size) {
                    const HeapStats after = heap_stats();
                    if (after.host_bytes > before.host_bytes && after.regions == before.regions)
                        ++grown->by_region;
                    else
                        ++(q == l.p ? grown->in_place : grown->moved);
                }
                const std::size_t kept = std::min(n, l.size);
                if (std::memcmp(q, kPattern.data() + l.offset, kept) != 0) return "realloc lost contents";
                std::memcpy(q + kept, kPattern.data() + l.offset + kept, n - kept);
                l.p = q;
                l.size = n;
            }
            const int token = BeginUserMemCriticalSection();
            const bool sound = reinterpret_cast<std::uintptr_t>(l.p) % 16 == 0 && block_in_use_sound(l.p, l.size);
            EndUserMemCriticalSection(token);
            if (!sound) return "unsound block";
            if (op % check_every == 0)
                if (const std::string why = consistency(); !why.empty()) return why;
            if (op % 5000 == 0) {
                for (const Live &x : live)
                    if (x.p != nullptr && !intact(x)) return "contents of a resting block changed";
            }
        }
        return "";
    };
    const std::string fault = run();
    for (Live &l : live) kez_free(l.p);
    return fault.empty() ? fault : "op " + std::to_string(op) + ": " + fault;
}

TEST_F(Heap, RandomOperationsOnOneAndFourThreadsKeepContentsAndTheHeapConsistent) {
    kez::test::Watchdog watchdog(std::chrono::seconds(600), "random heap operations");
    // One thread, the whole heap checked after every operation.
    Grown grown;
    EXPECT_EQ(churn(20240610u, 20000, 1, &grown), "");
    EXPECT_GT(grown.in_place, 300);
    EXPECT_GT(grown.by_region, 25);
    EXPECT_GT(grown.moved, 1000);
    EXPECT_EQ(heap_stats().regions, 0u);
    constexpr int kThreads = 4;
    std::vector<std::string> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [t, &faults] { faults[t] = churn(20240611u + static_cast<unsigned>(t), 250000, 5000, nullptr); });
    for (auto &th : threads) th.join();
    EXPECT_EQ(faults, std::vector<std::string>(kThreads));  // the fixture checks that every region went back
    EXPECT_GE(heap_stats().host_bytes_peak, 1000000u);
}

TEST_F(Heap, InternalCallsRequireTheSection) {
    kez::test::TapReader tap(kez::test::linked_engine_tap());
    void *p = allocate_block(16);  // without the section: an assertion failure
    EXPECT_TRUE(tap.contains_since_mark(
        "Assertion failed: holds_user_mem_section() (_AllocDynamicUserMem called without user memory critical "
        "section!)"));
    const int outer = BeginUserMemCriticalSection();
    const int inner = BeginUserMemCriticalSection();  // held already: not entered again
    EXPECT_TRUE(holds_user_mem_section());
    EndUserMemCriticalSection(inner);
    EXPECT_TRUE(holds_user_mem_section());
    _FreeDynamicUserMem(p, 0, 1);
    EndUserMemCriticalSection(outer);
    EXPECT_FALSE(holds_user_mem_section());
}

}  // namespace
