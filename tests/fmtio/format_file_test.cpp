// FmtFile and ScanFile over the file table: positions after every call,
// line sources, several files on one thread, many threads on one handle,
// and writes that fail.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fmtio/file_test_util.h"
#include "kez/formatio.h"
#include "os/os.h"
#include "support/temp_dir.h"
#include "support/watchdog.h"

namespace {

using kez::test::file_bytes;
using kez::test::put_file;

TEST(FmtFileScanFile, EveryScanStopsRightAfterItsValue) {
    kez::test::TempDir dir;
    const std::string path = dir.file("values.bin");
    int h = Kez_OpenFile(path.c_str(), 0, 0, 0);
    ASSERT_GE(h, 3);
    // 150 lines of 40 bytes, CR LF, beyond any read-ahead block.
    for (int i = 0; i < 150; ++i) ASSERT_EQ(FmtFile(h, "%s<%d[w30]%f[w8p2]\r\n", i * 7, i + 0.25), 2);
    EXPECT_EQ(NumFmtdBytes(), 40);
    ASSERT_EQ(SetFilePtr(h, 0, 0), 0);
    for (int i = 0; i < 150; ++i) {
        int v = -1;
        double d = -1;
        ASSERT_EQ(ScanFile(h, "%s>%d%f", &v, &d), 2) << i;
        EXPECT_EQ(v, i * 7);
        EXPECT_EQ(d, i + 0.25);
        EXPECT_EQ(SetFilePtr(h, 0, 1), 40LL * i + 38) << i;  // right after the value, before CR LF
    }
    // The line form: one line a call, CR LF ends one line.
    ASSERT_EQ(SetFilePtr(h, 0, 0), 0);
    for (int i = 0; i < 3; ++i) {
        int v = -1;
        ASSERT_EQ(ScanFile(h, "%l>%d", &v), 1);
        EXPECT_EQ(v, i * 7);
        EXPECT_EQ(SetFilePtr(h, 0, 1), 40LL * (i + 1));
    }
    char line[64];
    ASSERT_EQ(ScanFile(h, "%l>%s[t-]", line), 1);  // the whole line, its end read: nothing more dropped
    EXPECT_EQ(SetFilePtr(h, 0, 1), 160);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(ScanFile(h, "%s>%d", line), -2);
    EXPECT_EQ(GetFmtIOError(), 3);
}

TEST(FmtFileScanFile, TextFilesRoundTripAndTwoFilesAlternate) {
    kez::test::TempDir dir;
    const std::string a = dir.file("a.txt"), b = dir.file("b.txt");
    int ha = Kez_OpenFile(a.c_str(), 2, 0, 1);
    int hb = Kez_OpenFile(b.c_str(), 2, 0, 1);
    ASSERT_GE(ha, 3);
    ASSERT_GE(hb, 3);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(FmtFile(ha, "%s<%d %s\n", i, "alpha"), 2);
        ASSERT_EQ(FmtFile(hb, "%s<%f[ep16] %x\n", i / 3.0, i), 2);
    }
    ASSERT_EQ(Kez_CloseFile(ha), 0);
    ASSERT_EQ(Kez_CloseFile(hb), 0);
    EXPECT_EQ(file_bytes(a).substr(0, 16), "0 alpha\r\n1 alpha");
    ha = Kez_OpenFile(a.c_str(), 1, 2, 1);
    hb = Kez_OpenFile(b.c_str(), 1, 2, 1);
    for (int i = 0; i < 300; ++i) {
        int n = -1, x = -1;
        char word[16] = "";
        double d = -1;
        ASSERT_EQ(ScanFile(ha, "%s>%d%s", &n, word), 2) << i;
        ASSERT_EQ(ScanFile(hb, "%s>%f%x", &d, &x), 2) << i;
        EXPECT_EQ(n, i);
        EXPECT_STREQ(word, "alpha");
        EXPECT_EQ(d, i / 3.0);
        EXPECT_EQ(x, i);
    }
    int n = 5;
    EXPECT_EQ(ScanFile(ha, "%s>%d", &n), 0);  // the end
    EXPECT_EQ(n, 5);
    Kez_CloseFile(ha);
    Kez_CloseFile(hb);
}

TEST(FmtFileScanFile, ThreadsWritingOneHandleNeverInterleaveWithinACall) {
    kez::test::Watchdog watchdog(std::chrono::seconds(300), "FmtFile threads");
    kez::test::TempDir dir;
    const std::string path = dir.file("shared.txt");
    const int h = Kez_OpenFile(path.c_str(), 2, 0, 0);
    ASSERT_GE(h, 3);
    constexpr int kThreads = 8, kLines = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([h, t] {
            const std::string body(260, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) FmtFile(h, "%s<%d %d %s\n", t, i, body.c_str());
        });
    for (auto &t : threads) t.join();
    Kez_CloseFile(h);
    const std::string all = file_bytes(path);
    std::vector<int> next(kThreads, 0);
    std::size_t at = 0;
    int lines = 0;
    while (at < all.size()) {
        const std::size_t end = all.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        int t = -1, i = -1;
        char body[300] = "";
        ASSERT_EQ(Scan(all.substr(at, end - at).c_str(), "%s>%d%d%s", &t, &i, body), 3);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(i, next[t]++);
        ASSERT_EQ(std::string(body), std::string(260, static_cast<char>('a' + t)));
        at = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

TEST(FmtFileScanFile, FailedWritesGiveMinusTwoAndTheError) {
    kez::test::TempDir dir;
    const std::string path = dir.file("full.bin");
    const int h = Kez_OpenFile(path.c_str(), 2, 0, 0);
    ASSERT_GE(h, 3);
    const std::string big(3000, 'x');
    // Mid-call: the first stage written fails.
    KezTest_ArmFaultEx("os.file_write", 1, 0, kez::test::kSysDiskFull);
    EXPECT_EQ(FmtFile(h, "%s<%s%d", big.c_str(), 5), -2);
    EXPECT_EQ(GetFmtIOError(), 9);
    // At the final flush: nothing counted, no format error.
    KezTest_ArmFaultEx("os.file_write", 1, 0, kez::test::kSysIo);
    EXPECT_EQ(FmtFile(h, "%s<%d", 5), -2);
    EXPECT_EQ(GetFmtIOError(), 2);
    EXPECT_EQ(NumFmtdBytes(), 0);
    EXPECT_EQ(GetFmtErrNdx(), -1);
    kez::test::disarm("os.file_write");
    EXPECT_EQ(FmtFile(h, "%s<%d", 5), 1);
    EXPECT_EQ(GetFmtIOError(), 0);
    Kez_CloseFile(h);
    EXPECT_EQ(FmtFile(h, "%s<%d", 5), -2);
    EXPECT_EQ(GetFmtIOError(), 3);
    EXPECT_EQ(FmtFile(h, "%q"), -2);  // the handle is checked first
    put_file(path, "");
}

TEST(FmtFileScanFile, ScanInFromAPipeLosesNothing) {
    std::string input;
    for (int i = 1; i <= 300; ++i) input += std::to_string(i) + "\n";
    input += "alpha beta\ngamma\ntail line\n";
    int status = -1;
    ASSERT_TRUE(kez::os::process_run_piped(KEZ_SCAN_IN_CHILD, nullptr, 60000, &status, input.data(), input.size(), 7));
    EXPECT_EQ(status, 0) << "the first step that failed";
}

}  // namespace
