// Many threads opening, writing, reading back and closing files of their
// own through both the formatting and I/O functions and the POSIX-style
// handles, while one more thread opens and closes a shared file and every
// thread tries handles that are not open. No byte may be lost or mixed, a
// handle that is not open must always be refused, and every entry must be
// free again at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fmtio/file_test_util.h"
#include "kez/formatio.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::clib;
namespace cc = kez::test::clib_const;

// Each thread's cycles here (half through each interface), with the
// stream test's 3,300, make 10^4 a thread on the three interfaces.
constexpr int kCycles = 6700;
constexpr int kThreads = 16;

// The first failure seen by any thread, and how many there were.
struct Failures {
    std::mutex lock;
    std::string first;
    std::atomic<int> count{0};
    void add(const std::string &what) {
        if (count.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> hold(lock);
            first = what;
        }
    }
};

std::string payload(int thread, int cycle) {
    std::string s(static_cast<std::size_t>(1 + (cycle * 37 + thread * 11) % 700), '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>((thread * 31 + cycle * 7 + static_cast<int>(i)) & 0xFF);
    return s;
}

TEST(FmtIOStress, ConcurrentOwnFilesAndSharedFile) {
    kez::test::Watchdog watchdog(std::chrono::seconds(600), "file stress");
    kez::test::TempDir dir;
    const std::string shared = dir.file("shared.bin");
    kez::test::put_file(shared, "shared content");

    // Handles 3..22 stay free for the 17 threads (one open file each at a
    // time); 23..41 stay open and 42 is closed, so 42 is never reused.
    std::vector<int> filler;
    for (int i = 0; i < 40; ++i) {
        const int h = Kez_OpenFile(dir.file("fill" + std::to_string(i)).c_str(), KEZ_FILE_WRITE, 0, 0);
        ASSERT_EQ(h, 3 + i) << "an earlier test left a handle open";
        filler.push_back(h);
    }
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Kez_CloseFile(filler[static_cast<std::size_t>(i)]), 0);
    const int closed = filler.back();
    ASSERT_EQ(Kez_CloseFile(closed), 0);

    Failures failures;
    std::atomic<int> running{kThreads};
    std::atomic<long> shared_cycles{0};
    auto fail = [&](int t, int i, const char *what, long long value) {
        failures.add("thread " + std::to_string(t) + " cycle " + std::to_string(i) + ": " + what + " gave " +
                     std::to_string(value));
    };

    std::thread sharer([&] {
        char buf[32];
        while (running.load() > 0) {
            const int h = Kez_OpenFile(shared.c_str(), KEZ_FILE_READ, 0, 0);
            if (h < 3 || h > 22) fail(-1, 0, "shared open", h);
            if (h < 3) continue;
            const int n = Kez_ReadFile(h, buf, sizeof buf);
            if (n != 14 || std::string(buf, 14) != "shared content") fail(-1, 0, "shared read", n);
            if (Kez_CloseFile(h) != 0) fail(-1, 0, "shared close", GetFmtIOError());
            shared_cycles.fetch_add(1);
        }
    });

    // One interface or the other: the formatting and I/O functions or the
    // POSIX-style ones (which share the handles).
    auto write = [](bool posix, int h, const char *p, int n) {
        return posix ? clib().write(h, p, static_cast<unsigned>(n)) : Kez_WriteFile(h, p, static_cast<size_t>(n));
    };
    auto bad_refused = [](int bad) {
        char b[4];
        bool ok = Kez_ReadFile(bad, b, 4) == -1 && GetFmtIOError() == KEZ_FMTIO_BAD_HANDLE;
        ok = ok && Kez_WriteFile(bad, "x", 1) == -1 && GetFmtIOError() == KEZ_FMTIO_BAD_HANDLE;
        ok = ok && Kez_CloseFile(bad) == -1 && GetFmtIOError() == KEZ_FMTIO_BAD_HANDLE;
        clib().set_errno(0);
        ok = ok && clib().read(bad, b, 4) == -1 && clib().errno_value() == cc::kEBADF;
        clib().set_errno(0);
        return ok && clib().close(bad) == -1 && clib().errno_value() == cc::kEBADF;
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            const std::string path = dir.file("own" + std::to_string(t));
            std::vector<char> back(800);
            for (int i = 0; i < kCycles && failures.count.load() == 0; ++i) {
                const std::string data = payload(t, i);
                const int n = static_cast<int>(data.size()), half = n / 2;
                const bool posix = i % 2 == 1;
                const int h = posix ? clib().open(path.c_str(), cc::kO_RDWR | cc::kO_CREAT | cc::kO_TRUNC, 0666)
                                    : Kez_OpenFile(path.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_TRUNCATE, 0);
                if (h < 3 || h > 22) {
                    fail(t, i, "open", h);
                    break;
                }
                // The second part through the other interface.
                if (write(posix, h, data.data(), half) != half) fail(t, i, "write", half);
                if (write(!posix, h, data.data() + half, n - half) != n - half) fail(t, i, "second write", n);
                if ((posix ? clib().lseek(h, 0, 0) : SetFilePtr(h, 0, 0)) != 0) fail(t, i, "seek", 0);
                const int got = posix ? clib().read(h, back.data(), 800) : Kez_ReadFile(h, back.data(), 800);
                if (got != n || std::string(back.data(), data.size()) != data) fail(t, i, "read back", got);
                if (clib().eof(h) != 1) fail(t, i, "eof", 0);
                if ((posix ? clib().close(h) : Kez_CloseFile(h)) != 0) fail(t, i, "close", h);
                if (i % 4 != 0) continue;
                for (int bad : {-5, 99999, closed})
                    if (!bad_refused(bad)) fail(t, i, "bad handle accepted", bad);
                // The handle just closed may belong to another thread by now:
                // only a query that changes nothing is tried.
                if (SetFilePtr(h, 0, 1) == -1 && GetFmtIOError() != KEZ_FMTIO_BAD_HANDLE)
                    fail(t, i, "just closed", GetFmtIOError());
            }
            running.fetch_sub(1);
        });
    }
    for (std::thread &w : workers) w.join();
    sharer.join();
    EXPECT_EQ(failures.count.load(), 0) << failures.first;
    EXPECT_GT(shared_cycles.load(), 0);

    for (std::size_t i = 20; i + 1 < filler.size(); ++i) EXPECT_EQ(Kez_CloseFile(filler[i]), 0);
    // Every entry is free again: the next open takes the lowest handle.
    const int h = Kez_OpenFile(shared.c_str(), KEZ_FILE_READ, 0, 0);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(Kez_CloseFile(h), 0);
}

}  // namespace
