// The C library's streams through their exports: modes, text translation
// against a model at many buffer and chunk sizes, exact positions,
// pushback, buffering, injected failures, the stream table's limit,
// temporary files and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/test_hooks.h"
#include "support/engine_stdio.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::file_bytes;
using kez::test::put_file;

using kez::test::clib;
using kez::test::EngineFile;
using kez::test::stdio;

constexpr int kENOENT = 2, kEIO = 5, kENOMEM = 12, kEEXIST = 17, kEINVAL = 22, kEMFILE = 24, kENOSPC = 28;

#if defined(_WIN32)
constexpr unsigned kDiskFull = 112;    // ERROR_DISK_FULL
constexpr unsigned kGenFailure = 31;  // ERROR_GEN_FAILURE
#else
constexpr unsigned kDiskFull = 28;  // ENOSPC
constexpr unsigned kGenFailure = 5;  // EIO
#endif

// Text read of `raw`: the bytes delivered, and for each count of delivered
// bytes the file offset just behind what produced them.
struct TextModel {
    std::string out;
    std::vector<long> offset_after;  // offset_after[k]: after k bytes delivered
    explicit TextModel(const std::string &raw) {
        offset_after.push_back(0);
        for (std::size_t i = 0; i < raw.size();) {
            if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
                out += '\n';
                i += 2;
            } else {
                out += raw[i++];
            }
            offset_after.push_back(static_cast<long>(i));
        }
    }
};

std::string random_text(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    static const char alphabet[] = "\r\n\r\nab\r\r\n\n";
    std::string s(size, ' ');
    for (char &c : s) c = rng() % 3 == 0 ? 'x' : alphabet[rng() % (sizeof alphabet - 1)];
    return s;
}

class StreamTest : public ::testing::Test {
protected:
    kez::test::TempDir dir;
    std::string path(const char *name) const { return dir.file(name); }
};

TEST_F(StreamTest, ModeStringsDecideAccessCreationAndTranslation) {
    const auto &s = stdio();
    clib().set_errno(0);
    EXPECT_EQ(s.fopen(path("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(clib().errno_value(), kENOENT);
    for (const char *bad : {"q", "", "x+", "+r"}) {
        clib().set_errno(0);
        EXPECT_EQ(s.fopen(path("f").c_str(), bad), nullptr) << bad;
        EXPECT_EQ(clib().errno_value(), kEINVAL) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(path("f")));

    // "w" creates and truncates, text by default; "rb+" reads and writes raw bytes.
    EngineFile *f = s.fopen(path("f").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fputs("a\nb", f), 0);
    EXPECT_EQ(s.fclose(f), 0);
    EXPECT_EQ(file_bytes(path("f")), "a\r\nb");
    f = s.fopen(path("f").c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    EXPECT_EQ(s.fread(buf, 1, 2, f), 2u);
    EXPECT_EQ(std::string(buf, 2), "a\r");
    EXPECT_EQ(s.fseek(f, 0, 1), 0);  // between reading and writing
    EXPECT_EQ(s.fputc('Z', f), 'Z');
    EXPECT_EQ(s.fclose(f), 0);
    EXPECT_EQ(file_bytes(path("f")), "a\rZb");

    // "a" appends even after a seek to the start; "ab" writes bare LF.
    f = s.fopen(path("f").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fseek(f, 0, 0), 0);
    EXPECT_EQ(s.fputs("\n!", f), 0);
    EXPECT_EQ(s.fclose(f), 0);
    EXPECT_EQ(file_bytes(path("f")), "a\rZb\n!");
    // "w" on an existing file empties it.
    f = s.fopen(path("f").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fclose(f), 0);
    EXPECT_EQ(file_bytes(path("f")), "");
}

// Every way of reading a text stream delivers the model's bytes, and the
// position after each call is the exact file offset, whatever the buffer
// and chunk sizes; seeking back to a reported position resumes there.
TEST_F(StreamTest, TextReadsMatchTheModelWithExactPositions) {
    const auto &s = stdio();
    const std::string raw = random_text(1500, 7) + "\r";  // a CR that ends the file stays a CR
    put_file(path("t"), raw);
    const TextModel model(raw);
    std::vector<std::size_t> chunks;
    for (std::size_t c = 1; c <= 64; ++c) chunks.push_back(c);
    for (std::size_t c = 65; c <= 600; c += 37) chunks.push_back(c);
    for (std::size_t buffer : {std::size_t(1), std::size_t(7), std::size_t(512), std::size_t(4096)}) {
        for (std::size_t chunk : chunks) {
            EngineFile *f = s.fopen(path("t").c_str(), "r");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(s.setvbuf(f, nullptr, 2, buffer), 0);
            std::string got;
            std::vector<char> part(chunk);
            int calls = 0;
            for (;;) {
                const std::size_t n = s.fread(part.data(), 1, chunk, f);
                got.append(part.data(), n);
                ASSERT_EQ(s.ftell(f), model.offset_after[got.size()]) << "buffer " << buffer << " chunk " << chunk;
                if (n < chunk) break;
                // Now and then: back to where we stand, through fsetpos.
                if (++calls % 5 == 0) {
                    long long at = 0;
                    ASSERT_EQ(s.fgetpos(f, &at), 0);
                    ASSERT_EQ(s.fsetpos(f, &at), 0);
                }
            }
            EXPECT_EQ(got, model.out) << "buffer " << buffer << " chunk " << chunk;
            EXPECT_EQ(s.feof(f), 1);
            EXPECT_EQ(s.ferror(f), 0);
            EXPECT_EQ(s.fclose(f), 0);
        }
    }
}

TEST_F(StreamTest, TextLinesAndBytesMatchTheModel) {
    const auto &s = stdio();
    const std::string raw = random_text(3000, 11);
    put_file(path("t"), raw);
    const TextModel model(raw);
    for (int line_room : {2, 3, 17, 600}) {
        EngineFile *f = s.fopen(path("t").c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::string got;
        std::vector<char> line(line_room);
        while (s.fgets(line.data(), line_room, f) != nullptr) {
            const std::size_t n = std::strlen(line.data());
            ASSERT_GT(n, 0u);
            ASSERT_LE(n, static_cast<std::size_t>(line_room - 1));
            // A piece ends at its line feed, fills the room, or ends the file.
            const char *lf = std::strchr(line.data(), '\n');
            got += line.data();
            if (got.size() < model.out.size()) {
                EXPECT_TRUE(lf == nullptr ? n == static_cast<std::size_t>(line_room - 1) : lf == line.data() + n - 1);
            }
            ASSERT_EQ(s.ftell(f), model.offset_after[got.size()]);
        }
        EXPECT_EQ(got, model.out) << line_room;
        s.fclose(f);
    }
    EngineFile *f = s.fopen(path("t").c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string got;
    for (int c; (c = s.fgetc(f)) != -1;) got += static_cast<char>(c);
    EXPECT_EQ(got, model.out);
    s.fclose(f);
}

// Text writes turn LF into CR LF; the position counts what the file will
// hold, also while bytes still wait in the buffer.
TEST_F(StreamTest, TextWritesMatchTheModelWithExactPositions) {
    const auto &s = stdio();
    const std::string text = random_text(2000, 3);
    std::string expected;
    for (char c : text) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (std::size_t chunk : {std::size_t(1), std::size_t(5), std::size_t(511), std::size_t(513), std::size_t(2000)}) {
        EngineFile *f = s.fopen(path("w").c_str(), "w");
        ASSERT_NE(f, nullptr);
        long written = 0;
        for (std::size_t at = 0; at < text.size(); at += chunk) {
            const std::size_t n = std::min(chunk, text.size() - at);
            ASSERT_EQ(s.fwrite(text.data() + at, 1, n, f), n);
            for (std::size_t i = at; i < at + n; ++i) written += text[i] == '\n' ? 2 : 1;
            ASSERT_EQ(s.ftell(f), written) << chunk;
        }
        EXPECT_EQ(s.fclose(f), 0);
        EXPECT_EQ(file_bytes(path("w")), expected) << chunk;
    }
}

TEST_F(StreamTest, PushbackHoldsSixAndArgumentsAreChecked) {
    const auto &s = stdio();
    put_file(path("p"), "xyz");
    EngineFile *f = s.fopen(path("p").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fgetc(f), 'x');
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s.ungetc('a' + i, f), 'a' + i);
    clib().set_errno(0);
    EXPECT_EQ(s.ungetc('g', f), -1);
    EXPECT_EQ(clib().errno_value(), kENOMEM);
    char buf[16] = {};
    EXPECT_EQ(s.fread(buf, 1, sizeof buf, f), 8u);
    EXPECT_STREQ(buf, "fedcbayz");
    EXPECT_EQ(s.feof(f), 1);
    EXPECT_EQ(s.ungetc('q', f), 'q');  // clears the end of file
    EXPECT_EQ(s.feof(f), 0);
    EXPECT_EQ(s.fgetc(f), 'q');
    EXPECT_EQ(s.fgetc(f), -1);

    clib().set_errno(0);
    EXPECT_EQ(s.fgets(buf, 1, f), nullptr);
    EXPECT_EQ(clib().errno_value(), kEINVAL);
    clib().set_errno(0);
    EXPECT_EQ(s.setvbuf(f, nullptr, 2, 64), -1);  // already read
    EXPECT_EQ(clib().errno_value(), kEINVAL);
    EXPECT_EQ(s.fclose(f), 0);

    // A closed stream, a wild pointer and the middle of a record are refused.
    int not_a_stream = 0;
    for (EngineFile *bad : {f, static_cast<EngineFile *>(&not_a_stream),
                            static_cast<EngineFile *>(static_cast<char *>(s.std_out()) + 8)}) {
        clib().set_errno(0);
        EXPECT_EQ(s.fputc('a', bad), -1);
        EXPECT_EQ(s.fclose(bad), -1);
        EXPECT_EQ(s.ftell(bad), -1);
        EXPECT_EQ(clib().errno_value(), kEINVAL);
    }
    f = s.fopen(path("p").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.setvbuf(f, nullptr, 3, 64), -1);
    EXPECT_EQ(s.setvbuf(f, nullptr, 0, 0), 0);  // unbuffered: one byte at a time
    EXPECT_EQ(s.fgetc(f), 'x');
    EXPECT_EQ(s.ftell(f), 1);
    s.fclose(f);
}

TEST_F(StreamTest, WriteFailuresSetTheErrorFlagAndErrno) {
    const auto &s = stdio();
    EngineFile *f = s.fopen(path("full").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fputs("buffered\n", f), 0);
    KezTest_ArmFaultEx("os.file_write", 1, 0, kDiskFull);
    clib().set_errno(0);
    EXPECT_EQ(s.fflush(f), -1);
    EXPECT_EQ(clib().errno_value(), kENOSPC);
    EXPECT_EQ(s.ferror(f), 1);
    s.clearerr(f);
    EXPECT_EQ(s.ferror(f), 0);

    // fflush(NULL) reports a failure of any stream, and still flushes the rest.
    EngineFile *g = s.fopen(path("other").c_str(), "wb");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(s.fputs("kept", g), 0);
    EXPECT_EQ(s.fputs("lost", f), 0);
    KezTest_ArmFaultEx("os.file_write", 1, 0, kGenFailure);
    EXPECT_EQ(s.fflush(nullptr), -1);
    EXPECT_EQ(s.ferror(f) + s.ferror(g), 1);
    EXPECT_EQ(s.fflush(nullptr), 0);
    EXPECT_EQ(s.fclose(g), 0);
    EXPECT_EQ(s.fclose(f), 0);
    // Whichever stream lost its bytes, the other's are in its file.
    const std::string a = file_bytes(path("full")), b = file_bytes(path("other"));
    EXPECT_TRUE((a == "" && b == "kept") || (a == "lost" && b == "")) << a << "|" << b;

    // A failing flush to the device at close: EOF, and the stream is gone.
    f = s.fopen(path("commit").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fputs("data", f), 0);
    KezTest_ArmFaultEx("os.file_commit", 1, 0, kGenFailure);
    clib().set_errno(0);
    EXPECT_EQ(s.fclose(f), -1);
    EXPECT_EQ(clib().errno_value(), kEIO);
    EXPECT_EQ(s.fclose(f), -1);
    EXPECT_EQ(clib().errno_value(), kEINVAL);
    EXPECT_EQ(file_bytes(path("commit")), "data");
}

// With every slot taken, fopen fails before it touches the file.
TEST_F(StreamTest, AFullStreamTableLeavesFilesAlone) {
    const auto &s = stdio();
    put_file(path("keep"), "precious");
    std::vector<EngineFile *> open;
    for (;;) {
        EngineFile *f = s.fopen(path(("s" + std::to_string(open.size())).c_str()).c_str(), "wb");
        if (f == nullptr) break;
        open.push_back(f);
        ASSERT_LT(open.size(), 300u);
    }
    EXPECT_EQ(clib().errno_value(), kEMFILE);
    EXPECT_EQ(open.size(), 252u);  // 255 slots, three of them standard
    clib().set_errno(0);
    EXPECT_EQ(s.fopen(path("keep").c_str(), "w"), nullptr);
    EXPECT_EQ(clib().errno_value(), kEMFILE);
    EXPECT_EQ(s.fopen(path("new").c_str(), "w"), nullptr);
    EXPECT_EQ(s.tmpfile(), nullptr);
    EXPECT_EQ(file_bytes(path("keep")), "precious");
    EXPECT_FALSE(std::filesystem::exists(path("new")));
    for (EngineFile *f : open) EXPECT_EQ(s.fclose(f), 0);
    EngineFile *f = s.fopen(path("keep").c_str(), "r");
    EXPECT_NE(f, nullptr);
    s.fclose(f);
}

TEST_F(StreamTest, TemporaryFilesAndNames) {
    const auto &s = stdio();
    // More names than the counter has values: the counter wraps.
    char name[260];
    std::string first;
    for (int i = 0; i < 1500; ++i) {
        ASSERT_NE(s.tmpnam(name), nullptr) << i;
        if (i == 0) first = name;
    }
    EXPECT_FALSE(std::filesystem::exists(first));
    // Without a buffer: the thread's own, the same each call.
    char *shared = s.tmpnam(nullptr);
    ASSERT_NE(shared, nullptr);
    const std::string before = shared;
    EXPECT_EQ(s.tmpnam(nullptr), shared);
    EXPECT_NE(before, shared);
    std::string other;
    std::thread([&] { other = s.tmpnam(nullptr); }).join();
    EXPECT_EQ(std::string(shared).size(), other.size());
    EXPECT_NE(other, shared);

    // tmpfile: a binary update stream whose file goes away at close.
    for (int i = 0; i < 3000; ++i) {
        EngineFile *f = s.tmpfile();
        ASSERT_NE(f, nullptr) << i;
        ASSERT_EQ(s.fwrite("a\nb", 1, 3, f), 3u);
        s.rewind(f);
        char buf[4] = {};
        ASSERT_EQ(s.fread(buf, 1, 4, f), 3u);
        ASSERT_STREQ(buf, "a\nb");
        ASSERT_EQ(s.fclose(f), 0);
    }
    // Nothing of them is left behind: the next names are free again.
    ASSERT_NE(s.tmpnam(name), nullptr);
    EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(StreamTest, StandardStreamsReachTheConsoleCopy) {
    const auto &s = stdio();
    ASSERT_NE(s.std_in(), nullptr);
    ASSERT_NE(s.std_out(), nullptr);
    ASSERT_NE(s.std_err(), nullptr);
    s.fflush(s.std_out());
    KezTest_RecordConsole(1);
    char text[256];
    // Standard error is unbuffered: its bytes are out at once.
    EXPECT_EQ(s.fputs("to stderr\n", s.std_err()), 0);
    KezTest_ConsoleText(text, sizeof text);
    EXPECT_STREQ(text, "to stderr\n");
    clib().set_errno(kEEXIST);
    s.perror("ctx");
    KezTest_ConsoleText(text, sizeof text);
    EXPECT_STREQ(text, "to stderr\nctx: File exists\n");
    EXPECT_EQ(s.puts("to stdout"), 0);
    EXPECT_EQ(s.fflush(s.std_out()), 0);
    KezTest_ConsoleText(text, sizeof text);
    EXPECT_STREQ(text, "to stderr\nctx: File exists\nto stdout\n");
    KezTest_RecordConsole(0);
    // fdopen of a standard handle gives its standard stream.
    EXPECT_EQ(s.fdopen(1, "w"), s.std_out());
}

TEST_F(StreamTest, FdopenOwnsTheHandle) {
    const auto &s = stdio();
    constexpr int kCreateWriteBinary = 8 | 1 | 32;
    const int h = clib().open(path("fd").c_str(), kCreateWriteBinary, 0666);
    ASSERT_GE(h, 3);
    clib().set_errno(0);
    EXPECT_EQ(s.fdopen(-1, "w"), nullptr);
    EXPECT_EQ(clib().errno_value(), kEINVAL);
    EXPECT_EQ(s.fdopen(h + 1000, "w"), nullptr);
    EXPECT_EQ(clib().errno_value(), 9);
    EngineFile *f = s.fdopen(h, "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s.fputs("x\n", f), 0);  // the handle is binary: no CR
    EXPECT_EQ(s.fclose(f), 0);
    EXPECT_EQ(clib().close(h), -1);  // closed with the stream
    EXPECT_EQ(file_bytes(path("fd")), "x\n");
}

// Threads with streams of their own, a thread flushing every stream and
// bad stream pointers at once: no byte is lost, nothing hangs.
TEST_F(StreamTest, ConcurrentStreamsLoseNothing) {
    const auto &s = stdio();
    kez::test::Watchdog watchdog(std::chrono::seconds(600), "concurrent streams");
    constexpr int kThreads = 16;
    constexpr int kCycles = 3300;  // with the file stress test's 6,700: 10^4 a thread
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread flusher([&] {
        while (!stop.load()) {
            s.fflush(nullptr);
            int junk = 0;
            if (s.fputc('x', &junk) != -1) failures.fetch_add(1);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = path(("c" + std::to_string(t)).c_str());
            for (int i = 0; i < kCycles; ++i) {
                const std::string line = "thread " + std::to_string(t) + " cycle " + std::to_string(i) + "\n";
                EngineFile *f = s.fopen(name.c_str(), i % 2 == 0 ? "w" : "wb");
                if (f == nullptr) {
                    failures.fetch_add(1);
                    continue;
                }
                for (int k = 0; k < 20; ++k) s.fputs(line.c_str(), f);
                if (s.fclose(f) != 0) failures.fetch_add(1);
                f = s.fopen(name.c_str(), i % 2 == 0 ? "r" : "rb");
                if (f == nullptr) {
                    failures.fetch_add(1);
                    continue;
                }
                char buf[128];
                int lines = 0;
                while (s.fgets(buf, sizeof buf, f) != nullptr) {
                    if (line != buf) failures.fetch_add(1);
                    ++lines;
                }
                if (lines != 20) failures.fetch_add(1);
                s.fclose(f);
            }
        });
    }
    for (auto &t : threads) t.join();
    stop.store(true);
    flusher.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
