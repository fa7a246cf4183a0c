// The byte and string utilities: boundaries, overlap, bytes above 127,
// counts that ask for nothing, null pointers, and the checked twins' reports.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/test_hooks.h"
#include "kez/formatio.h"

namespace {

TEST(ByteUtils, FillAndCopyBytes) {
    // clang-format off
    // from < 0: FillBytes(b, index, count, value); else CopyBytes(b, index, b, from, count). b: "abcdef".
    const struct { ptrdiff_t index, from, count; int value; const char *after; } rows[] = {
        {1, -1, 3, 'x', "axxxef"}, {5, -1, 1, 0x1B0, "abcde\xB0"}, {2, -1, -3, 'x', "abcdef"},
        {1, 0, 5, 0, "aabcde"},    {0, 1, 5, 0, "bcdeff"},         {0, 3, -1, 0, "abcdef"},
    };
    // clang-format on
    for (const auto &row : rows) {
        char b[7] = "abcdef";
        if (row.from < 0)
            FillBytes(b, row.index, row.count, row.value);
        else
            CopyBytes(b, row.index, b, row.from, row.count);
        EXPECT_EQ(std::string(b, 6), row.after) << row.index << ' ' << row.from << ' ' << row.count;
    }
    char b[7] = "abcdef";
    FillBytes(nullptr, 0, 4, 'x');
    CopyBytes(b, 0, nullptr, 0, 3);
    CopyBytes(nullptr, 0, b, 0, 3);
    EXPECT_STREQ(b, "abcdef");
}

TEST(ByteUtils, CopyString) {
    // clang-format off
    // Into 9 '#' from `source`, or within t = "abcdef" (source null); `after`: t's 9 bytes.
    const struct { ptrdiff_t to, from, max; const char *source; ptrdiff_t result; const char *after; } rows[] = {
        {0, 0, -1, "h\xE9llo", 5, "h\xE9llo\0###"}, {2, 1, 3, "hello", 3, "##ell\0###"},
        {0, 0, 10, "hi", 2, "hi\0######"},          {0, 0, 0, "hello", 0, "\0########"},
        {1, 0, -2, "hello", 0, "#\0#######"},       {2, 0, -1, nullptr, 6, "ababcdef\0"},
        {0, 2, -1, nullptr, 4, "cdef\0f\0##"},
    };
    // clang-format on
    for (const auto &row : rows) {
        char t[10] = "abcdef\0##";
        if (row.source != nullptr) std::memset(t, '#', 9);
        EXPECT_EQ(CopyString(t, row.to, row.source ? row.source : t, row.from, row.max), row.result) << row.after;
        EXPECT_EQ(std::string(t, 9), std::string(row.after, 9)) << row.to << ' ' << row.max;
    }
    EXPECT_EQ(CopyString(nullptr, 0, "abc", 0, -1), 0);
}

TEST(ByteUtils, CompareBytesAndStrings) {
    // clang-format off
    // Both compares of a and b: as `count` bytes and as strings.
    const struct { const char *a, *b; ptrdiff_t count; int sensitive, bytes, strings; } rows[] = {
        {"abc", "ABD", 3, 0, -1, -1},     {"abc", "ABC", 3, 0, 0, 0},   {"abc", "ABC", 3, 1, 1, 1},
        {"[", "a", 1, 0, 1, 1},  // upper-case mappings: '[' sorts after 'A'
        {"[", "a", 1, 1, -1, -1},         {"\xE9", "z", 1, 1, 1, 1},    {"\xE9", "Z", 1, 0, 1, 1},
        {"a\x7F", "a\x80", 2, 1, -1, -1}, {"ab", "abc", 3, 1, -1, -1},  {"abX", "abY", 2, 1, 0, -1},
        {"abc", "xyz", 0, 1, 0, -1},      {"abc", "xyz", -4, 1, 0, -1},
    };
    // clang-format on
    for (const auto &r : rows) {
        EXPECT_EQ(CompareBytes(r.a, 0, r.b, 0, r.count, r.sensitive), r.bytes) << r.a << ' ' << r.b;
        EXPECT_EQ(CompareStrings(r.a, 0, r.b, 0, r.sensitive), r.strings) << r.a << ' ' << r.b;
    }
    EXPECT_EQ(CompareBytes("a\0b", 0, "a\0c", 0, 3, 1), -1);
    EXPECT_EQ(CompareBytes("xxAB", 2, "ab", 0, 2, 0), 0);
    EXPECT_EQ(CompareStrings("xxabc", 2, "yabd", 1, 1), -1);
    EXPECT_EQ(CompareStrings("a", 0, nullptr, 0, 1), 0);
}

TEST(ByteUtils, FindPattern) {
    // clang-format off
    const struct { const char *buffer; ptrdiff_t start, count; const char *pattern; int sensitive, right;
                   ptrdiff_t result; } rows[] = {
        {"xabab", 0, 5, "ab", 1, 0, 1}, {"xabab", 0, 5, "ab", 1, 1, 3}, {"xabab", 0, -1, "ab", 1, 1, 3},
        {"xabab", 0, 4, "ab", 1, 1, 1}, {"xabab", 2, 3, "ab", 1, 0, 3}, {"xAbAB", 0, 5, "ab", 1, 0, -1},
        {"xAbAB", 0, 5, "aB", 0, 0, 1}, {"xAbAB", 0, 5, "aB", 0, 1, 3}, {"aaab", 0, 4, "aab", 1, 0, 1},
        {"a\0ab", 0, 4, "ab", 1, 0, 2}, {"a\0ab", 0, -1, "ab", 1, 0, -1}, {"x\xC9t\xE9T", 0, 5, "\xE9t", 0, 0, 3},
        {"x\xC9t\xE9T", 0, 5, "\xE9t", 1, 0, -1}, {"ab", 0, 2, "abc", 1, 0, -1}, {"ab", 0, 2, "", 1, 0, -1},
        {"ab", 0, -2, "a", 0, 0, -1}, {"ab", 0, 4294967296LL, "a", 1, 0, -1}, {nullptr, 0, 3, "a", 1, 0, -1},
    };
    // clang-format on
    for (const auto &r : rows)
        EXPECT_EQ(FindPattern(r.buffer, r.start, r.count, r.pattern, r.sensitive, r.right), r.result)
            << r.start << ' ' << r.count << ' ' << r.pattern << ' ' << r.sensitive << r.right;
}

TEST(ByteUtils, StringLengthAndCase) {
    EXPECT_EQ(StringLength("a\xFF\x80"), 3);
    EXPECT_EQ(StringLength(nullptr), -1);
    EXPECT_EQ(Kez_OpenFile(nullptr, 0, 0, 0), -1);
    EXPECT_EQ(StringLength(""), 0);
    EXPECT_EQ(GetFmtIOError(), KEZ_FMTIO_INVALID_ARGUMENT) << "a success leaves the error as it was";
    char s[] = "Hello, W\xC9rld 09[]`{}";
    StringLowerCase(s);
    EXPECT_STREQ(s, "hello, w\xC9rld 09[]`{}");
    StringUpperCase(s);
    EXPECT_STREQ(s, "HELLO, W\xC9RLD 09[]`{}");
}

// The argument report made since `count` reports: "number argument severity text", or "" for none.
std::string report_since(unsigned count) {
    int severity = 0, number = 0, argument = 0;
    char text[128];
    if (KezTest_LastArgumentReport(&severity, &number, &argument, text, sizeof text) == count) return "";
    return std::to_string(number) + ' ' + std::to_string(argument) + ' ' + std::to_string(severity) + ' ' + text;
}

// The caller describes the first argument's size; a report stops the call.
TEST(CheckedByteUtils, ReportsAndRefusals) {
    char b[8];
    // clang-format off
    // known: argument 1's bytes; after: b, from "abcd"; report: "number argument severity text".
    const char *const read = "242 1 3 Attempt to read beyond end of string.";
    const struct { unsigned long long known; std::function<long long()> call; long long result;
                   const char *after, *report; } rows[] = {
        {4, [&] { return _UP_FillBytes(b, 1, 3, '-'), 0; }, 0, "a---", ""},
        {4, [&] { return _UP_FillBytes(b, 1, 4, '-'), 0; }, 0, "abcd", "238 1 3 Attempt to write beyond end of array."},
        {~0ull, [&] { return _UP_CopyBytes(b, 0, nullptr, 0, 1), 0; }, 0, "abcd", "255 3 3 Null pointer."},
        {4, [&] { return _UP_CopyString(b, 0, "0123", 0, 3); }, 3, "012", ""},  // 3 characters and the NUL fit
        {4, [&] { return _UP_CopyString(b, 0, "0123", 0, -1); }, 0, "abcd",
         "239 1 3 Attempt to write beyond end of string."},
        {5, [&] { return _UP_StringLength(b); }, 4, "abcd", ""},
        {4, [&] { return _UP_StringLength(b); }, -1, "abcd", read},
        {4, [&] { return _UP_FindPattern(b, 1, 3, "d", 1, 0); }, 3, "abcd", ""},
        {4, [&] { return _UP_FindPattern(b, 0, -1, "d", 1, 0); }, -1, "abcd", read},
        {~0ull, [&] { return _UP_FindPattern(b, 0, 4, nullptr, 1, 0); }, -1, "abcd", "255 4 3 Null pointer."},
        {4, [&] { return _UP_CompareBytes(b, 2, "cdx", 0, 3, 1); }, 0, "abcd",
         "241 1 3 Attempt to read beyond end of array."},
    };
    // clang-format on
    KezTest_SetDebuggingLevel(2);
    for (const auto &row : rows) {
        std::memcpy(b, "abcd\0xyz", 8);
        const unsigned before = KezTest_LastArgumentReport(nullptr, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(KezTest_PassArguments(0, nullptr, row.known), 0);
        EXPECT_EQ(row.call(), row.result) << row.report;
        EXPECT_STREQ(b, row.after) << row.report;
        EXPECT_EQ(report_since(before), row.report) << row.after;
    }
    KezTest_SetDebuggingLevel(0);  // no checks: the twins only forward
    const unsigned before = KezTest_LastArgumentReport(nullptr, nullptr, nullptr, nullptr, 0);
    _UP_StringUpperCase(b);
    EXPECT_EQ(_UP_FindPattern(b, 0, -1, "BC", 1, 1), 1);
    _UP_FillBytes(nullptr, 0, 1, 0);
    EXPECT_EQ(report_since(before), "");
}

}  // namespace
