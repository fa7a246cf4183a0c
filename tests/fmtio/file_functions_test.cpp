// The formatting and I/O library's file functions: error codes and texts,
// argument checks, standard and bad handles, open actions, ReadLine and
// WriteLine, injected system failures, the checked twins and the copy of
// standard output to the debugger window.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fmtio/file_test_util.h"
#include "kez/formatio.h"
#include "support/temp_dir.h"

namespace {

using kez::test::clib;
using kez::test::file_bytes;
using kez::test::put_file;
using kez::test::TempDir;
namespace cc = kez::test::clib_const;

TEST(FmtIOErrorText, EveryCodeHasItsText) {
    static const char *const kTexts[] = {
        "No error",        "File not found",      "General I/O failure",
        "Bad file handle", "Insufficient memory", "File exists",
        "Access denied",   "Invalid argument",    "Too many open files",
        "Disk is full",    "File name too long",  "String too long for representation"};
    for (int code = 0; code < 12; ++code) EXPECT_STREQ(GetFmtIOErrorString(code), kTexts[code]) << code;
    for (int code : {12, 42, -1, INT_MIN}) EXPECT_STREQ(GetFmtIOErrorString(code), "Unknown error number") << code;
}

struct OpenArgs {
    const char *name;  // null: the name of a file in the temporary directory
    bool null_name;
    int mode, action, type;
};

TEST(FmtIOOpen, ArgumentErrorsAreInvalidArgument) {
    TempDir dir;
    const std::string good = dir.file("args.bin");
    const OpenArgs cases[] = {
        {nullptr, true, 0, 0, 0},        {"", false, 0, 0, 0},       {"   ", false, 0, 0, 0},
        {" \t\r\n\v\f", false, 1, 0, 0}, {nullptr, false, -1, 0, 0}, {nullptr, false, 3, 0, 0},
        {nullptr, false, 0, -1, 0},      {nullptr, false, 0, 3, 0},  {nullptr, false, 0, 0, -1},
        {nullptr, false, 0, 0, 2},
    };
    for (const OpenArgs &c : cases) {
        const char *name = c.null_name ? nullptr : (c.name != nullptr ? c.name : good.c_str());
        EXPECT_FMTIO_FAIL(Kez_OpenFile(name, c.mode, c.action, c.type), KEZ_FMTIO_INVALID_ARGUMENT);
    }
    EXPECT_FALSE(std::filesystem::exists(good)) << "a refused open must not create the file";
}

TEST(FmtIOOpen, NameLengthLimitIs259) {
    TempDir dir;
    const std::string base = dir.file("");
    ASSERT_LT(base.size(), 200u);
    const std::string at_limit = base + std::string(259 - base.size(), 'n');
    const std::string over = at_limit + "x";
    ASSERT_EQ(at_limit.size(), 259u);
    EXPECT_FMTIO_FAIL(Kez_OpenFile(over.c_str(), 0, 0, 0), KEZ_FMTIO_NAME_TOO_LONG);
    EXPECT_FALSE(std::filesystem::exists(over));
    const int h = Kez_OpenFile(at_limit.c_str(), 0, 0, 0);
    ASSERT_GE(h, 3) << GetFmtIOErrorString(GetFmtIOError());
    EXPECT_EQ(GetFmtIOError(), 0);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    long long size = -1;
    EXPECT_EQ(GetFileInfo(at_limit.c_str(), &size), 1);
    EXPECT_FMTIO_FAIL(GetFileInfo(over.c_str(), &size), KEZ_FMTIO_NAME_TOO_LONG);
}

TEST(FmtIOOpen, ActionsAndModes) {
    TempDir dir;
    const std::string p = dir.file("actions.txt");
    // Missing file, read-only: not found, not created.
    EXPECT_FMTIO_FAIL(Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0), KEZ_FMTIO_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(p));

    put_file(p, "0123");
    int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, KEZ_FILE_TRUNCATE, 0);  // truncation only applies to writing
    ASSERT_GE(h, 3);
    EXPECT_EQ(GetFmtIOError(), 0) << "a success clears the earlier error";
    char buf[16] = {};
    EXPECT_EQ(Kez_ReadFile(h, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "0123");
    EXPECT_EQ(Kez_CloseFile(h), 0);

    h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_APPEND, 0);
    ASSERT_GE(h, 3);
    EXPECT_EQ(SetFilePtr(h, 0, 0), 0);
    EXPECT_EQ(Kez_WriteFile(h, "xy", 2), 2);
    EXPECT_EQ(SetFilePtr(h, 1, 0), 1);
    EXPECT_EQ(WriteLine(h, "z", -1), 1);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "0123xyz\n");

    h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_OPEN, 0);
    ASSERT_GE(h, 3);
    EXPECT_EQ(SetFilePtr(h, 0, 1), 0);
    EXPECT_EQ(Kez_WriteFile(h, "AB", 2), 2);
    EXPECT_EQ(SetFilePtr(h, 0, 1), 2);
    EXPECT_EQ(SetFilePtr(h, -1, 2), 7);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "AB23xyz\n");

    h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_BINARY);
    ASSERT_GE(h, 3);
    EXPECT_EQ(Kez_WriteFile(h, "Q", 1), 1);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "Q");

    // A directory is not a file.
    EXPECT_FMTIO_FAIL(Kez_OpenFile(dir.str().c_str(), KEZ_FILE_READ, 0, 0), KEZ_FMTIO_ACCESS_DENIED);
    EXPECT_FMTIO_FAIL(Kez_OpenFile(dir.str().c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_OPEN, 0), KEZ_FMTIO_ACCESS_DENIED);
}

TEST(FmtIOHandles, BadAndStandardHandles) {
    TempDir dir;
    const std::string p = dir.file("h.bin");
    char buf[8] = {};
    const int closed = Kez_OpenFile(p.c_str(), 0, 0, 0);
    ASSERT_GE(closed, 3);
    ASSERT_EQ(Kez_CloseFile(closed), 0);
    for (int bad : {0, 1, 2, -1, -5, closed, 99999, INT_MAX}) {
        SCOPED_TRACE(bad);
        EXPECT_FMTIO_FAIL(Kez_CloseFile(bad), KEZ_FMTIO_BAD_HANDLE);
        if (bad > 2) EXPECT_FMTIO_FAIL(SetFilePtr(bad, 0, 0), KEZ_FMTIO_BAD_HANDLE);
    }
    for (int bad : {1, 2, -5, closed, 99999}) {
        SCOPED_TRACE(bad);
        EXPECT_FMTIO_FAIL(Kez_ReadFile(bad, buf, sizeof buf), KEZ_FMTIO_BAD_HANDLE);
        EXPECT_FMTIO_FAIL(ReadLine(bad, buf, 4), KEZ_FMTIO_BAD_HANDLE);
    }
    for (int bad : {0, -5, closed, 99999}) {
        SCOPED_TRACE(bad);
        EXPECT_FMTIO_FAIL(Kez_WriteFile(bad, "x", 1), KEZ_FMTIO_BAD_HANDLE);
        EXPECT_FMTIO_FAIL(WriteLine(bad, "x", 1), KEZ_FMTIO_BAD_HANDLE);
    }
    for (int std_handle : {0, 1, 2}) {
        EXPECT_EQ(SetFilePtr(std_handle, 10, 0), 0) << std_handle;
        EXPECT_EQ(GetFmtIOError(), 0) << std_handle;
    }

    const int h = Kez_OpenFile(p.c_str(), 0, 0, 0);
    ASSERT_GE(h, 3);
    EXPECT_EQ(h, closed) << "a closed entry is reused";
    const size_t too_many = static_cast<size_t>(INT_MAX) + 1;
    EXPECT_FMTIO_FAIL(Kez_ReadFile(h, buf, too_many), KEZ_FMTIO_INVALID_ARGUMENT);
    EXPECT_FMTIO_FAIL(Kez_WriteFile(h, buf, too_many), KEZ_FMTIO_INVALID_ARGUMENT);
    for (int origin : {-1, 3}) {
        EXPECT_FMTIO_FAIL(SetFilePtr(h, 0, origin), KEZ_FMTIO_INVALID_ARGUMENT);
        EXPECT_FMTIO_FAIL(SetFilePtr(1, 0, origin), KEZ_FMTIO_INVALID_ARGUMENT);
    }
    EXPECT_FMTIO_FAIL(ReadLine(h, buf, -2), KEZ_FMTIO_INVALID_ARGUMENT);
    EXPECT_FMTIO_FAIL(WriteLine(h, "x", -2), KEZ_FMTIO_INVALID_ARGUMENT);
    EXPECT_EQ(Kez_WriteFile(h, "0123456789", 10), 10);
    EXPECT_FMTIO_FAIL(SetFilePtr(h, -11, 2), KEZ_FMTIO_INVALID_ARGUMENT);
    EXPECT_EQ(SetFilePtr(h, 0, 1), 10);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    // Reading a file opened for writing only, and writing one opened for
    // reading only: the handle is good, the access is not, on every platform.
    const int wo = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, KEZ_FILE_OPEN, 0);
    EXPECT_FMTIO_FAIL(Kez_ReadFile(wo, buf, 4), KEZ_FMTIO_ACCESS_DENIED);
    EXPECT_EQ(Kez_CloseFile(wo), 0);
    const int ro = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
    EXPECT_FMTIO_FAIL(Kez_WriteFile(ro, "x", 1), KEZ_FMTIO_ACCESS_DENIED);
    EXPECT_EQ(Kez_CloseFile(ro), 0);
    EXPECT_FMTIO_FAIL(Kez_CloseFile(h), KEZ_FMTIO_BAD_HANDLE);

    long long size = -1;
    EXPECT_EQ(GetFileInfo(p.c_str(), &size), 1);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(GetFileInfo(p.c_str(), nullptr), 1);
    EXPECT_EQ(GetFileInfo(dir.str().c_str(), &size), 0) << "a directory is not a file";
    EXPECT_EQ(GetFileInfo(dir.file("missing").c_str(), &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(GetFmtIOError(), 0);
    EXPECT_FMTIO_FAIL(GetFileInfo(nullptr, &size), KEZ_FMTIO_INVALID_ARGUMENT);

    for (int bad_mode : {2, -1}) EXPECT_EQ(Kez_SetCommitMode(bad_mode), -1) << bad_mode;
    for (int mode : {0, 1}) EXPECT_EQ(Kez_SetCommitMode(mode), 0) << mode;
}

TEST(FmtIOLines, ReadLineLimitsAndEnd) {
    TempDir dir;
    const std::string p = dir.file("lines.bin");
    put_file(p, "hello\nworld!\n\nabcdef\nlast");
    const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, KEZ_FILE_BINARY);
    ASSERT_GE(h, 3);
    std::vector<char> none(1, 'X');  // maxBytes 0: room for the NUL only
    EXPECT_EQ(ReadLine(h, none.data(), 0), 5);
    EXPECT_EQ(none[0], '\0');
    std::vector<char> three(4, 'X');
    EXPECT_EQ(ReadLine(h, three.data(), 3), 6);
    EXPECT_STREQ(three.data(), "wor");
    EXPECT_EQ(ReadLine(h, three.data(), 3), 0);
    EXPECT_STREQ(three.data(), "");
    std::vector<char> exact(7, 'X');
    EXPECT_EQ(ReadLine(h, exact.data(), 6), 6);
    EXPECT_STREQ(exact.data(), "abcdef");
    EXPECT_EQ(SetFilePtr(h, 0, 1), 21) << "the line feed is consumed, nothing beyond it";
    char buf[64];
    EXPECT_EQ(ReadLine(h, buf, -1), 4);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(GetFmtIOError(), 0);
    EXPECT_EQ(ReadLine(h, buf, -1), -2);
    EXPECT_EQ(ReadLine(h, buf, -1), -2) << "still at the end";
    EXPECT_EQ(GetFmtIOError(), 0);
    EXPECT_EQ(SetFilePtr(h, 6, 0), 6);
    EXPECT_EQ(ReadLine(h, buf, 63), 6);
    EXPECT_STREQ(buf, "world!");
    EXPECT_EQ(Kez_CloseFile(h), 0);
}

TEST(FmtIOLines, WriteLineInBinaryAndAscii) {
    TempDir dir;
    for (int type : {KEZ_FILE_BINARY, KEZ_FILE_ASCII}) {
        const std::string p = dir.file("w" + std::to_string(type));
        const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, 0, type);
        ASSERT_GE(h, 3);
        EXPECT_EQ(WriteLine(h, "abc", -1), 3);
        EXPECT_EQ(WriteLine(h, "defgh", 2), 2);
        EXPECT_EQ(WriteLine(h, nullptr, 0), 0);
        EXPECT_EQ(WriteLine(h, "a\nb", -1), 3);
        EXPECT_EQ(Kez_CloseFile(h), 0);
        EXPECT_EQ(file_bytes(p), type == KEZ_FILE_ASCII ? "abc\r\nde\r\n\r\na\r\nb\r\n" : "abc\nde\n\na\nb\n") << type;
    }
}

// A failure injected at a system call, reported through the engine's codes.
TEST(FmtIOFaults, OpenErrorsAreMapped) {
    TempDir dir;
    const std::string p = dir.file("exists");
    put_file(p, "data");
    struct Case {
        unsigned sys;
        int code, err;
    };
    const Case cases[] = {{kez::test::kSysNotFound, 1, cc::kENOENT},
                          {kez::test::kSysAccess, 6, cc::kEACCES},
                          {kez::test::kSysTooMany, 8, cc::kEMFILE},
                          {kez::test::kSysIo, 2, cc::kEIO},
                          {kez::test::kSysNameTooLong, 10, cc::kENAMETOOLONG}};
    const int first = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
    ASSERT_GE(first, 3);
    ASSERT_EQ(Kez_CloseFile(first), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sys);
        KezTest_ArmFaultEx("os.file_open", 1, 0, c.sys);
        EXPECT_FMTIO_FAIL(Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_TRUNCATE, 0), c.code);
        KezTest_ArmFaultEx("os.file_open", 1, 0, c.sys);
        EXPECT_ERRNO(clib().open(p.c_str(), cc::kO_RDONLY), c.err);
        // The failed opens gave their entries back.
        const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
        EXPECT_EQ(h, first) << c.sys;
        EXPECT_EQ(Kez_CloseFile(h), 0);
    }
    EXPECT_EQ(file_bytes(p), "data");
}

// Each call reports a failure injected at its system call, as the library's
// code or as errno, and changes nothing; one call spends the fault.
TEST(FmtIOFaults, EachCallReportsItsFailureOnce) {
    TempDir dir;
    const std::string p = dir.file("other.txt"), renamed = dir.file("renamed");
    put_file(p, "content");
    const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_OPEN, KEZ_FILE_ASCII);
    ASSERT_GE(h, 3);
    char buf[16];
    long long size = 0;
    using kez::test::kSysAccess, kez::test::kSysDiskFull, kez::test::kSysIo;
    const struct {
        const char *point;
        unsigned sys;
        bool posix;  // errno, else the library's code
        int code;
        std::function<int()> call;
    } cases[] = {
        {"os.file_write", kSysDiskFull, false, KEZ_FMTIO_DISK_FULL, [&] { return Kez_WriteFile(h, "one\ntwo\n", 8); }},
        {"os.file_write", kSysDiskFull, false, KEZ_FMTIO_DISK_FULL, [&] { return WriteLine(h, "x", -1); }},
        {"os.file_write", kSysDiskFull, true, cc::kENOSPC, [&] { return clib().write(h, "abc", 3); }},
        {"os.file_read", kSysIo, false, KEZ_FMTIO_IO_FAILURE, [&] { return Kez_ReadFile(h, buf, 4); }},
        {"os.file_seek", kSysIo, false, KEZ_FMTIO_IO_FAILURE, [&] { return static_cast<int>(SetFilePtr(h, 2, 0)); }},
        {"os.file_seek", kSysIo, true, cc::kEIO, [&] { return static_cast<int>(clib().lseek(h, 2, 0)); }},
        {"os.file_size", kSysAccess, false, KEZ_FMTIO_ACCESS_DENIED, [&] { return GetFileInfo(p.c_str(), &size); }},
        {"os.file_remove", kSysAccess, true, cc::kEACCES, [&] { return clib().remove(p.c_str()); }},
        {"os.file_rename", kSysIo, true, cc::kEIO, [&] { return clib().rename(p.c_str(), renamed.c_str()); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point);
        KezTest_ArmFaultEx(c.point, 1, 0, c.sys);
        if (c.posix)
            EXPECT_ERRNO(c.call(), c.code);
        else
            EXPECT_FMTIO_FAIL(c.call(), c.code);
    }
    EXPECT_EQ(SetFilePtr(h, 2, 0), 2);
    EXPECT_EQ(Kez_ReadFile(h, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "nte");
    EXPECT_EQ(SetFilePtr(h, 0, 2), 7);
    EXPECT_EQ(Kez_WriteFile(h, "ok\n", 3), 3);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "contentok\r\n");
    EXPECT_FALSE(std::filesystem::exists(renamed));
}

// A failed commit is reported, and the file is closed all the same.
TEST(FmtIOFaults, CommitFailureStillCloses) {
    TempDir dir;
    const std::string p = dir.file("commit.bin");
    ASSERT_EQ(Kez_SetCommitMode(1), 0);
    for (bool posix : {false, true}) {
        const int h = posix ? clib().open(p.c_str(), cc::kO_WRONLY | cc::kO_CREAT | cc::kO_TRUNC, 0666)
                            : Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, 0, 0);
        ASSERT_GE(h, 3);
        EXPECT_EQ(Kez_WriteFile(h, "kept", 4), 4);
        KezTest_ArmFaultEx("os.file_commit", 1, 0, kez::test::kSysDiskFull);
        if (posix) {
            EXPECT_ERRNO(clib().close(h), cc::kENOSPC);
            EXPECT_ERRNO(clib().close(h), cc::kEBADF);
        } else {
            EXPECT_FMTIO_FAIL(Kez_CloseFile(h), KEZ_FMTIO_DISK_FULL);
            EXPECT_FMTIO_FAIL(Kez_CloseFile(h), KEZ_FMTIO_BAD_HANDLE);
        }
        EXPECT_EQ(file_bytes(p), "kept") << posix;
        const int again = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
        EXPECT_EQ(again, h) << "the handle of the failed close is free again";
        EXPECT_EQ(Kez_CloseFile(again), 0);
    }
    // A failed close frees the entry and forgets the file all the same.
    int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
    KezTest_ArmFaultEx("os.file_close", 1, 0, kez::test::kSysIo);
    EXPECT_FMTIO_FAIL(Kez_CloseFile(h), KEZ_FMTIO_IO_FAILURE);
    EXPECT_FMTIO_FAIL(Kez_CloseFile(h), KEZ_FMTIO_BAD_HANDLE);
    EXPECT_EQ(clib().remove(p.c_str()), 0) << "the file is no longer open";
    put_file(p, "kept");
    // No commit for a file opened for reading only, nor with commit mode off:
    // the armed fault is left for the POSIX close, which always commits.
    KezTest_ArmFaultEx("os.file_commit", 1, 0, kez::test::kSysIo);
    h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, 0);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    ASSERT_EQ(Kez_SetCommitMode(0), 0);
    h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_OPEN, 0);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    ASSERT_EQ(Kez_SetCommitMode(1), 0);
    h = clib().open(p.c_str(), cc::kO_RDWR);
    ASSERT_GE(h, 3);
    EXPECT_ERRNO(clib().close(h), cc::kEIO);
    kez::test::disarm("os.file_commit");
}

// A table that cannot grow refuses the open before the file is touched.
TEST(FmtIOFaults, TableGrowthFailure) {
    TempDir dir;
    const std::string keep = dir.file("keep.bin"), fresh = dir.file("fresh.bin");
    put_file(keep, "precious");
    std::vector<int> held;
    int h = 0;
    while (h != 66) {  // the last entry of the first chunk of 64
        h = Kez_OpenFile(dir.file("f" + std::to_string(held.size())).c_str(), KEZ_FILE_WRITE, 0, 0);
        ASSERT_GE(h, 3);
        ASSERT_LE(h, 66) << "an earlier test left files open";
        held.push_back(h);
    }
    KezTest_ArmFaultEx("fmtio.file_table_grow", 1, 0, 0);
    EXPECT_FMTIO_FAIL(Kez_OpenFile(keep.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_TRUNCATE, 0), KEZ_FMTIO_NO_MEMORY);
    EXPECT_STREQ(GetFmtIOErrorString(GetFmtIOError()), "Insufficient memory");
    EXPECT_EQ(file_bytes(keep), "precious");
    KezTest_ArmFaultEx("fmtio.file_table_grow", 1, 0, 0);
    EXPECT_FMTIO_FAIL(Kez_OpenFile(fresh.c_str(), KEZ_FILE_WRITE, 0, 0), KEZ_FMTIO_NO_MEMORY);
    KezTest_ArmFaultEx("fmtio.file_table_grow", 1, 0, 0);
    EXPECT_ERRNO(clib().open(fresh.c_str(), cc::kO_RDWR | cc::kO_CREAT | cc::kO_TRUNC, 0666), cc::kENOMEM);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    // The table grows once it can.
    h = Kez_OpenFile(keep.c_str(), KEZ_FILE_READ, 0, 0);
    EXPECT_EQ(h, 67);
    held.push_back(h);
    for (int each : held) EXPECT_EQ(Kez_CloseFile(each), 0) << each;
    EXPECT_EQ(file_bytes(keep), "precious");
}

TEST(FmtIOTwins, FailuresAreReportedButNotTheEnd) {
    TempDir dir;
    const std::string missing = dir.file("missing.txt");
    ASSERT_EQ(_UP_KezTest_ReturnCode(-77), -77);
    EXPECT_EQ(_UP_Kez_OpenFile(missing.c_str(), KEZ_FILE_READ, 0, 0), -1);
    EXPECT_EQ(kez::test::last_library_error(), "-1 Kez_OpenFile: File not found");

    const std::string p = dir.file("one.txt");
    put_file(p, "only\n");
    const int h = _UP_Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, KEZ_FILE_ASCII);
    ASSERT_GE(h, 3);
    char buf[16];
    EXPECT_EQ(_UP_ReadLine(h, buf, 15), 4);
    ASSERT_EQ(_UP_KezTest_ReturnCode(-77), -77);
    EXPECT_EQ(_UP_ReadLine(h, buf, 15), -2);
    EXPECT_EQ(kez::test::last_library_error(), "-77 KezTest_ReturnCode: Test code -77.") << "the end is no failure";
    EXPECT_EQ(_UP_ReadLine(h, buf, -3), -1);
    EXPECT_EQ(kez::test::last_library_error(), "-1 ReadLine: Invalid argument");
    EXPECT_EQ(_UP_SetFilePtr(h, 0, 7), -1);
    EXPECT_EQ(kez::test::last_library_error(), "-1 SetFilePtr: Invalid argument");
    EXPECT_EQ(_UP_Kez_CloseFile(h), 0);
    EXPECT_EQ(_UP_Kez_CloseFile(h), -1);
    EXPECT_EQ(kez::test::last_library_error(), "-1 Kez_CloseFile: Bad file handle");
}

TEST(FmtIOConsole, StandardOutputIsCopied) {
    KezTest_RecordConsole(1);
    EXPECT_EQ(Kez_WriteFile(1, "abc", 3), 3);
    EXPECT_EQ(WriteLine(2, "line two", -1), 8);
    EXPECT_EQ(clib().write(1, "de", 2), 2);
    char text[64] = {};
    EXPECT_EQ(KezTest_ConsoleText(text, sizeof text), 14);
    EXPECT_STREQ(text, "abcline two\nde");
    KezTest_RecordConsole(0);
    EXPECT_EQ(Kez_WriteFile(1, "\n", 1), 1);
    EXPECT_EQ(KezTest_ConsoleText(text, sizeof text), 0);
}

}  // namespace
