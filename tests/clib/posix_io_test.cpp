// The C library's POSIX-style handles, remove, rename and strerror: errno
// values, standard handles, the end of a file, share modes within the
// process, temporary and read-only files.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

#include "fmtio/file_test_util.h"
#include "kez/formatio.h"
#include "support/temp_dir.h"

namespace {

using kez::test::clib;
using kez::test::file_bytes;
using kez::test::put_file;
using kez::test::TempDir;
namespace cc = kez::test::clib_const;
namespace fs = std::filesystem;

TEST(ClibStrerror, Texts) {
    // clang-format off
    const struct {
        int code;
        const char *text;
    } cases[] = {{0, "No error"}, {2, "No such file or directory"}, {5, "General I/O failure"},
                 {9, "Bad file handle"}, {12, "Insufficient memory"}, {13, "Access denied"}, {17, "File exists"},
                 {22, "Invalid argument"}, {24, "Too many open files"}, {28, "No space left of device"},
                 {33, "Domain error"}, {34, "Range error"}, {35, "File name too long"},
                 {99, "Unknown error number"}, {-1, "Unknown error number"}, {1, "Unknown error number"}};
    // clang-format on
    for (const auto &c : cases) EXPECT_STREQ(clib().strerror(c.code), c.text) << c.code;
}

TEST(ClibHandles, OpenErrorsAndStandardHandles) {
    TempDir dir;
    const std::string p = dir.file("a.bin");
    put_file(p, "abc");
    EXPECT_ERRNO(clib().open(p.c_str(), cc::kO_RDWR | cc::kO_CREAT | cc::kO_EXCL, 0666), cc::kEEXIST);
    EXPECT_EQ(file_bytes(p), "abc");
    EXPECT_ERRNO(clib().open(dir.file("missing").c_str(), cc::kO_RDONLY), cc::kENOENT);
    EXPECT_ERRNO(clib().open(dir.file("missing").c_str(), cc::kO_RDWR | cc::kO_TRUNC), cc::kENOENT);
    EXPECT_FALSE(fs::exists(dir.file("missing")));
    EXPECT_ERRNO(clib().open(p.c_str(), 3), cc::kEINVAL);  // no such access mode
    EXPECT_ERRNO(clib().open(p.c_str(), cc::kO_RDONLY | cc::kO_TRUNC), cc::kEINVAL);
    EXPECT_EQ(file_bytes(p), "abc") << "truncation needs write access";
    put_file(p, "abc");
    EXPECT_ERRNO(clib().sopen(p.c_str(), cc::kO_RDONLY, 5), cc::kEINVAL);
    EXPECT_ERRNO(clib().open(nullptr, cc::kO_RDONLY), cc::kEINVAL);

    const std::string base = dir.file("");
    const std::string at_limit = base + std::string(259 - base.size(), 'p');
    EXPECT_ERRNO(clib().open((at_limit + "q").c_str(), cc::kO_RDWR | cc::kO_CREAT, 0666), cc::kEINVAL);
    const int lh = clib().open(at_limit.c_str(), cc::kO_RDWR | cc::kO_CREAT, 0666);
    EXPECT_GE(lh, 3);
    EXPECT_EQ(clib().close(lh), 0);

    char buf[8];
    for (int std_handle : {0, 1, 2}) {
        EXPECT_ERRNO(clib().close(std_handle), cc::kEBADF);
        EXPECT_EQ(clib().lseek(std_handle, 5, 0), 0);
        EXPECT_EQ(clib().eof(std_handle), 0);
    }
    EXPECT_ERRNO(clib().read(1, buf, 1), cc::kEBADF);
    EXPECT_ERRNO(clib().read(2, buf, 1), cc::kEBADF);
    EXPECT_ERRNO(clib().write(0, "x", 1), cc::kEBADF);
    for (int bad : {-1, 99999}) {
        EXPECT_ERRNO(clib().close(bad), cc::kEBADF);
        EXPECT_ERRNO(clib().read(bad, buf, 1), cc::kEBADF);
        EXPECT_ERRNO(clib().write(bad, "x", 1), cc::kEBADF);
        EXPECT_ERRNO(clib().lseek(bad, 0, 0), cc::kEBADF);
        EXPECT_ERRNO(clib().eof(bad), cc::kEBADF);
    }

    const int h = clib().open(p.c_str(), cc::kO_RDONLY | cc::kO_BINARY);
    ASSERT_GE(h, 3);
    EXPECT_ERRNO(clib().lseek(h, 0, 3), cc::kEINVAL);
    EXPECT_ERRNO(clib().read(h, buf, 0x80000000u), cc::kEINVAL);
    EXPECT_EQ(clib().eof(h), 0);
    EXPECT_EQ(clib().read(h, buf, 2), 2);
    EXPECT_EQ(clib().eof(h), 0);
    EXPECT_EQ(clib().read(h, buf, sizeof buf), 1);
    EXPECT_EQ(clib().eof(h), 1);
    EXPECT_EQ(clib().read(h, buf, sizeof buf), 0);
    EXPECT_EQ(clib().lseek(h, 1, 0), 1);
    EXPECT_EQ(clib().eof(h), 0);
    EXPECT_EQ(clib().lseek(h, 0, 1), 1) << "eof leaves the position alone";
    EXPECT_EQ(clib().lseek(h, -1, 2), 2);
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_ERRNO(clib().close(h), cc::kEBADF);

    // O_APPEND: every write goes to the end, wherever the position was.
    const int a = clib().open(p.c_str(), cc::kO_RDWR | cc::kO_APPEND);
    EXPECT_EQ(clib().lseek(a, 0, 0), 0);
    EXPECT_EQ(clib().write(a, "++", 2), 2);
    EXPECT_EQ(clib().lseek(a, 0, 1), 5);
    EXPECT_EQ(clib().close(a), 0);
    EXPECT_EQ(file_bytes(p), "abc++");
}

// lseek gives a long: a position it cannot hold is refused, and a refused
// seek leaves the position where it was.
TEST(ClibHandles, SeekBeyondWhatALongHolds) {
    TempDir dir;
    const std::string p = dir.file("far.bin");
    put_file(p, "far");
    const int h = clib().open(p.c_str(), cc::kO_RDONLY);
    ASSERT_GE(h, 3);
    const long top = 0x7FFFFFFFL;
    EXPECT_EQ(clib().lseek(h, top, 0), top);
    if constexpr (sizeof(long) == 4) {
        EXPECT_ERRNO(clib().lseek(h, 1, 1), cc::kEINVAL);
        EXPECT_EQ(SetFilePtr(h, 0, 1), top) << "a refused seek must not move the file";
    } else {
        EXPECT_EQ(static_cast<long long>(clib().lseek(h, 1, 1)), 0x80000000LL);
    }
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_EQ(file_bytes(p), "far");
}

struct Share {
    int first_share, first_flags, second_flags;
    bool allowed;
};

TEST(ClibHandles, ShareModesWithinTheProcess) {
    TempDir dir;
    const std::string p = dir.file("shared.bin");
    put_file(p, "s");
    const Share cases[] = {
        {cc::kSH_DENYWR, cc::kO_RDONLY, cc::kO_WRONLY, false},
        {cc::kSH_DENYWR, cc::kO_RDONLY, cc::kO_RDWR, false},
        {cc::kSH_DENYWR, cc::kO_RDWR, cc::kO_RDONLY, true},
        {cc::kSH_DENYRW, cc::kO_RDONLY, cc::kO_RDONLY, false},
        {cc::kSH_DENYRW, cc::kO_RDONLY, cc::kO_WRONLY, false},
        {cc::kSH_DENYNO, cc::kO_RDWR, cc::kO_RDONLY, true},
        {cc::kSH_DENYNO, cc::kO_RDWR, cc::kO_RDWR, true},
        {cc::kSH_DENYRD, cc::kO_RDWR, cc::kO_RDONLY, false},
        {cc::kSH_DENYRD, cc::kO_RDWR, cc::kO_WRONLY, true},
        {cc::kSH_DENYWR, cc::kO_RDONLY, cc::kO_WRONLY | cc::kO_TRUNC, false},
        {cc::kSH_DENYRW, cc::kO_RDWR, cc::kO_RDWR | cc::kO_CREAT | cc::kO_TRUNC, false},
    };
    for (const Share &c : cases) {
        SCOPED_TRACE(testing::Message() << "share " << c.first_share << " first " << c.first_flags << " second "
                                        << c.second_flags);
        const int first = clib().sopen(p.c_str(), c.first_flags, c.first_share);
        ASSERT_GE(first, 3);
        clib().set_errno(0);
        const int second = clib().open(p.c_str(), c.second_flags, 0666);
        if (c.allowed) {
            EXPECT_GE(second, 3);
            EXPECT_EQ(clib().close(second), 0);
        } else {
            EXPECT_EQ(second, -1);
            EXPECT_EQ(clib().errno_value(), cc::kEACCES);
        }
        EXPECT_EQ(clib().close(first), 0);
        EXPECT_EQ(file_bytes(p), "s") << "a refused open must not truncate";
    }
    // A second open that would deny what the first one does is refused too.
    const int writer = clib().open(p.c_str(), cc::kO_RDWR);
    ASSERT_GE(writer, 3);
    EXPECT_ERRNO(clib().sopen(p.c_str(), cc::kO_RDONLY, cc::kSH_DENYWR), cc::kEACCES);
    EXPECT_EQ(clib().close(writer), 0);
    const int alone = clib().sopen(p.c_str(), cc::kO_RDONLY, cc::kSH_DENYWR);
    EXPECT_GE(alone, 3) << "the refused opens left nothing behind";
    EXPECT_EQ(clib().close(alone), 0);
}

TEST(ClibNames, RemoveAndRename) {
    TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
    put_file(a, "AAA");
    put_file(b, "BBB");
    const int h = clib().open(a.c_str(), cc::kO_RDONLY);
    ASSERT_GE(h, 3);
    EXPECT_ERRNO(clib().remove(a.c_str()), cc::kEACCES);
    EXPECT_ERRNO(clib().rename(a.c_str(), c.c_str()), cc::kEACCES);
    EXPECT_EQ(file_bytes(a), "AAA");
    EXPECT_FALSE(fs::exists(c));
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_ERRNO(clib().rename(a.c_str(), b.c_str()), cc::kEEXIST);
    EXPECT_EQ(file_bytes(a), "AAA");
    EXPECT_EQ(file_bytes(b), "BBB");
    EXPECT_EQ(clib().rename(a.c_str(), c.c_str()), 0);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(file_bytes(c), "AAA");
    EXPECT_ERRNO(clib().rename(a.c_str(), dir.file("d").c_str()), cc::kENOENT);
    EXPECT_EQ(clib().remove(c.c_str()), 0);
    EXPECT_FALSE(fs::exists(c));
    EXPECT_ERRNO(clib().remove(c.c_str()), cc::kENOENT);
    EXPECT_ERRNO(clib().remove(nullptr), cc::kEINVAL);
    const std::string longer(300, 'r');
    EXPECT_ERRNO(clib().remove(longer.c_str()), cc::kENAMETOOLONG);
}

TEST(ClibNames, TemporaryAndReadOnlyFiles) {
    TempDir dir;
    const std::string t = dir.file("temp.bin");
    const int h = clib().open(t.c_str(), cc::kO_RDWR | cc::kO_CREAT | cc::kO_TEMPORARY, 0666);
    ASSERT_GE(h, 3);
    EXPECT_EQ(clib().write(h, "gone", 4), 4);
    EXPECT_TRUE(fs::exists(t));
    // A file that goes at its close admits no other open, on every platform.
    EXPECT_ERRNO(clib().open(t.c_str(), cc::kO_RDONLY), cc::kEACCES);
    // An open file is not removed or renamed, temporary or not.
    EXPECT_ERRNO(clib().remove(t.c_str()), cc::kEACCES);
    EXPECT_ERRNO(clib().rename(t.c_str(), dir.file("moved").c_str()), cc::kEACCES);
    EXPECT_TRUE(fs::exists(t));
    EXPECT_FALSE(fs::exists(dir.file("moved")));
    EXPECT_EQ(clib().lseek(h, 0, 0), 0);
    char buf[8] = {};
    EXPECT_EQ(clib().read(h, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "gone");
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_FALSE(fs::exists(t));

    const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    const std::string ro = dir.file("ro.bin"), rw = dir.file("rw.bin");
    for (const std::string &name : {ro, rw}) {
        const int f = clib().open(name.c_str(), cc::kO_WRONLY | cc::kO_CREAT, name == ro ? 0444 : 0666);
        ASSERT_GE(f, 3);
        EXPECT_EQ(clib().write(f, "x", 1), 1) << "the creating open may write";
        EXPECT_EQ(clib().close(f), 0);
    }
    EXPECT_EQ(fs::status(ro).permissions() & writable, fs::perms::none);
    EXPECT_NE(fs::status(rw).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(file_bytes(ro), "x");
    fs::permissions(ro, fs::perms::owner_write, fs::perm_options::add);  // so that the directory can go
}

// The twins that debug-built code calls: a failure is reported with errno's
// name and text and the result still reaches the caller; a call that cannot
// fail only forwards (the last report stays); the variadic opens read their
// mode as the opens do.
TEST(ClibTwins, FailuresAreReportedWithTheErrnoName) {
    using kez::test::engine_fn;
    using kez::test::last_library_error;
    TempDir dir;
    const std::string missing = dir.file("missing.txt");
    const std::string made = dir.file("made.bin");

    auto up_fopen = engine_fn<void *(const char *, const char *)>("_UP_fopen");
    auto up_fclose = engine_fn<int(void *)>("_UP_fclose");
    auto up_fputs = engine_fn<int(const char *, void *)>("_UP_fputs");
    auto up_open = engine_fn<int(const char *, int, ...)>("_UP_open");
    auto up_sopen = engine_fn<int(const char *, int, int, ...)>("_UP_sopen");
    auto up_remove = engine_fn<int(const char *)>("_UP_remove");
    auto up_read = engine_fn<int(int, void *, unsigned)>("_UP_read");
    auto up_strlen = engine_fn<std::size_t(const char *)>("_UP_strlen");
    auto up_strtoll = engine_fn<long long(const char *, char **, int)>("_UP_Kez_strtoll");
    auto up_mbscpy = engine_fn<unsigned char *(unsigned char *, const unsigned char *)>("_UP__mbscpy");

    EXPECT_EQ(up_fopen(missing.c_str(), "r"), nullptr);
    EXPECT_EQ(clib().errno_value(), cc::kENOENT);
    EXPECT_EQ(last_library_error(), "0 fopen: (ENOENT) No such file or directory");
    EXPECT_EQ(up_fopen(missing.c_str(), "q"), nullptr);
    EXPECT_EQ(last_library_error(), "0 fopen: (EINVAL) Invalid argument");
    EXPECT_EQ(up_open(missing.c_str(), cc::kO_RDONLY), -1);
    EXPECT_EQ(last_library_error(), "-1 open: (ENOENT) No such file or directory");
    EXPECT_EQ(up_sopen(made.c_str(), cc::kO_WRONLY | cc::kO_CREAT, 9, 0666), -1);
    EXPECT_EQ(last_library_error(), "-1 sopen: (EINVAL) Invalid argument");
    EXPECT_EQ(up_remove(missing.c_str()), -1);
    EXPECT_EQ(last_library_error(), "-1 remove: (ENOENT) No such file or directory");
    EXPECT_EQ(up_read(12345, nullptr, 0), -1);
    EXPECT_EQ(last_library_error(), "-1 read: (EBADF) Bad file handle");

    // A mode given to the twin reaches the open: a read-only new file.
    const int h = up_open(made.c_str(), cc::kO_WRONLY | cc::kO_CREAT | cc::kO_BINARY, 0444);
    ASSERT_GE(h, 3);
    EXPECT_EQ(clib().write(h, "ro", 2), 2);
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_EQ(fs::status(made).permissions() & fs::perms::owner_write, fs::perms::none);
    fs::permissions(made, fs::perms::owner_write, fs::perm_options::add);

    // Successes and functions without a failure leave the last report alone.
    ASSERT_EQ(_UP_KezTest_ReturnCode(-77), -77);
    void *f = up_fopen(made.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(up_fputs("x\n", f), 0);
    EXPECT_EQ(up_fclose(f), 0);
    EXPECT_EQ(up_strlen("abcd"), 4u);
    char *end = nullptr;
    EXPECT_EQ(up_strtoll("0x1A!", &end, 0), 26);
    EXPECT_STREQ(end, "!");
    unsigned char copy[4] = {};
    EXPECT_EQ(up_mbscpy(copy, reinterpret_cast<const unsigned char *>("ab")), copy);
    EXPECT_STREQ(reinterpret_cast<char *>(copy), "ab");
    EXPECT_EQ(last_library_error(), "-77 KezTest_ReturnCode: Test code -77.");
    EXPECT_EQ(file_bytes(made), "x\r\n");
    EXPECT_EQ(up_fclose(f), -1) << "a closed stream";
    EXPECT_EQ(last_library_error(), "-1 fclose: (EINVAL) Invalid argument");
}

}  // namespace
