// The byte and string utilities: boundaries, overlap, bytes above 127,
// counts that ask for nothing, null pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

}  // namespace
