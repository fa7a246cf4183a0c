// The C library's string and character functions through their exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_string.h"

namespace {

using Bytes = std::vector<unsigned char>;
using std::size_t;
int sign(int v) { return (v > 0) - (v < 0); }

Bytes pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 37u + (i >> 3));
    return v;
}

// Sizes 0..67 at alignments 0..7 against byte loops; the bytes around the
// destination stay untouched.
TEST(ClibString, BlockFunctionsAtAllSizesAndAlignments) {
    const auto memcpy_ = KEZ_ENGINE_FN(void *(void *, const void *, size_t), memcpy);
    const auto memmove_ = KEZ_ENGINE_FN(void *(void *, const void *, size_t), memmove);
    const auto memset_ = KEZ_ENGINE_FN(void *(void *, int, size_t), memset);
    const auto memchr_ = KEZ_ENGINE_FN(void *(const void *, int, size_t), memchr);
    const auto strlen_ = KEZ_ENGINE_FN(size_t(const char *), strlen);
    for (size_t n = 0; n <= 67; ++n) {
        for (size_t a = 0; a < 8; ++a) {
            const Bytes src = pattern(n + 16, static_cast<unsigned>(n + a));
            Bytes dst(n + 16, 0xEE), want = dst;
            std::copy_n(src.begin() + 3, n, want.begin() + a);
            ASSERT_EQ(memcpy_(&dst[a], &src[3], n), &dst[a]);
            ASSERT_EQ(dst, want) << "memcpy n=" << n << " a=" << a;
            Bytes set(n + 16, 0x11), set_want = set;
            std::fill_n(set_want.begin() + a, n, 0xAB);
            ASSERT_EQ(memset_(&set[a], 0x1AB, n), &set[a]);  // the low byte of the value
            ASSERT_EQ(set, set_want) << "memset n=" << n << " a=" << a;
            std::string text(n + 16, 'x');
            text[a + n] = '\0';
            ASSERT_EQ(strlen_(&text[a]), n);
            Bytes hay(n + 16, 0x80);
            hay[a + n] = 0xF0;  // just outside the size
            if (n > 0) hay[a + n - 1] = 0xF0;
            ASSERT_EQ(memchr_(&hay[a], 0xF0, n), n > 0 ? &hay[a + n - 1] : nullptr) << "memchr n=" << n;
            // Overlapping moves by a bytes, both ways.
            for (bool up : {true, false}) {
                Bytes buf = src, moved = src;
                const size_t from = up ? 0 : a, to = up ? a : 0;
                for (size_t i = 0; i < n; ++i) moved[to + i] = src[from + i];
                ASSERT_EQ(memmove_(&buf[to], &buf[from], n), &buf[to]);
                ASSERT_EQ(buf, moved) << "memmove n=" << n << " shift=" << a << " up=" << up;
            }
        }
    }
}

TEST(ClibString, ComparisonsOrderBytesAsUnsignedAndStricmpFoldsToLower) {
    using Compare = int(const char *, const char *);
    using CompareN = int(const char *, const char *, size_t);
    const auto strcmp_ = KEZ_ENGINE_FN(Compare, strcmp), strcoll_ = KEZ_ENGINE_FN(Compare, strcoll);
    const auto strncmp_ = KEZ_ENGINE_FN(CompareN, strncmp);
    const auto memcmp_ = KEZ_ENGINE_FN(int(const void *, const void *, size_t), memcmp);
    const auto stricmp = kez::test::engine_fn<Compare>("stricmp");
    const auto strnicmp = kez::test::engine_fn<CompareN>("strnicmp");
    struct Case {
        const char *a, *b;
        size_t n;
        int cmp, ncmp, icmp, incmp;
    };
    const Case cases[] = {
        {"", "", 0, 0, 0, 0, 0},
        {"abc", "abd", 2, -1, 0, -1, 0},
        {"\x80", "\x7f", 1, 1, 1, 1, 1},
        {"a\xff", "a\x01", 2, 1, 1, 1, 1},
        {"abc", "abcd", 9, -1, -1, -1, -1},
        {"HeLLo", "hello", 5, -1, -1, 0, 0},
        {"_", "A", 1, 1, 1, -1, -1},  // '_' lies between 'Z' and 'a'
        {"ABCx", "abcY", 3, -1, -1, -1, 0},
        {"\xC4", "\xE4", 1, -1, -1, -1, -1},  // no case above 0x7f in the C locale
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(sign(strcmp_(c.a, c.b)), c.cmp);
        EXPECT_EQ(sign(strcmp_(c.b, c.a)), -c.cmp);
        EXPECT_EQ(sign(strcoll_(c.a, c.b)), c.cmp);
        EXPECT_EQ(sign(strncmp_(c.a, c.b, c.n)), c.ncmp);
        EXPECT_EQ(sign(memcmp_(c.a, c.b, std::min(c.n, std::strlen(c.a) + 1))), c.ncmp);
        EXPECT_EQ(sign(stricmp(c.a, c.b)), c.icmp);
        EXPECT_EQ(sign(stricmp(c.b, c.a)), -c.icmp);
        EXPECT_EQ(sign(strnicmp(c.a, c.b, c.n)), c.incmp);
    }
}

TEST(ClibString, SearchFunctions) {
    using Find = char *(const char *, int);
    const auto strchr_ = KEZ_ENGINE_FN(Find, strchr), strrchr_ = KEZ_ENGINE_FN(Find, strrchr);
    const auto strstr_ = KEZ_ENGINE_FN(char *(const char *, const char *), strstr);
    const char text[] = "path/to\xE9/file.txt";  // 17 bytes
    EXPECT_EQ(strchr_(text, '/'), text + 4);
    EXPECT_EQ(strrchr_(text, '/'), text + 8);
    EXPECT_EQ(strchr_(text, '\0'), text + 17);
    EXPECT_EQ(strrchr_(text, '\0'), text + 17);
    EXPECT_EQ(strchr_(text, 0xE9), text + 7);
    EXPECT_EQ(strrchr_(text, static_cast<char>(0xE9)), text + 7);  // a negative int: the same byte
    EXPECT_EQ(strchr_(text, 'q'), nullptr);
    EXPECT_EQ(strrchr_("", 'a'), nullptr);
    EXPECT_EQ(strstr_(text, "file"), text + 9);
    EXPECT_EQ(strstr_(text, ""), text);
    EXPECT_EQ(strstr_(text + 3, "aaaa"), nullptr);
    const char rep[] = "aaab";
    EXPECT_EQ(strstr_(rep, "aab"), rep + 1);
    EXPECT_EQ(strstr_("", "a"), nullptr);

    using Span = size_t(const char *, const char *);
    const auto strspn_ = KEZ_ENGINE_FN(Span, strspn), strcspn_ = KEZ_ENGINE_FN(Span, strcspn);
    const auto strpbrk_ = KEZ_ENGINE_FN(char *(const char *, const char *), strpbrk);
    struct Case {
        const char *text, *set;
        size_t spn, cspn;
    };
    for (const Case &c : {Case{"abcde", "ab", 2, 0}, Case{"xyzab", "ab", 0, 3}, Case{"", "ab", 0, 0},
                          Case{"abc", "", 0, 3}, Case{"\xF0\xF0z", "\xF0", 2, 0}, Case{"abc", "cba", 3, 0}}) {
        EXPECT_EQ(strspn_(c.text, c.set), c.spn) << c.text << " / " << c.set;
        EXPECT_EQ(strcspn_(c.text, c.set), c.cspn) << c.text << " / " << c.set;
        EXPECT_EQ(strpbrk_(c.text, c.set), c.text[c.cspn] != '\0' ? c.text + c.cspn : nullptr) << c.text;
    }
}

TEST(ClibString, CopiesAndConcatenation) {
    using CopyN = char *(char *, const char *, size_t);
    const auto strncpy_ = KEZ_ENGINE_FN(CopyN, strncpy), strncat_ = KEZ_ENGINE_FN(CopyN, strncat);
    const auto strcpy_ = KEZ_ENGINE_FN(char *(char *, const char *), strcpy);
    const auto strcat_ = KEZ_ENGINE_FN(char *(char *, const char *), strcat);
    const auto strxfrm_ = KEZ_ENGINE_FN(size_t(char *, const char *, size_t), strxfrm);
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(strncpy_(buf, "ab", 6), buf);
    EXPECT_EQ(std::string(buf, 7), std::string("ab\0\0\0\0x", 7));  // padded to the count
    strncpy_(buf, "abcdef", 3);
    EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));  // no terminator of its own
    EXPECT_EQ(strcpy_(buf, "one"), buf);
    EXPECT_EQ(strcat_(buf, "two"), buf);
    EXPECT_EQ(strncat_(buf, "345", 2), buf);
    EXPECT_EQ(std::string(buf, 10), std::string("onetwo34\0x", 10));
    strncat_(strncat_(buf, "", 5), "5", 0);
    EXPECT_STREQ(buf, "onetwo34");
    EXPECT_EQ(strxfrm_(buf, "abc", 4), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strxfrm_(buf, "xyz", 3), 3u);  // too small: nothing written
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strxfrm_(nullptr, "abcdef", 0), 6u);
}

TEST(ClibString, StrtokKeepsAPositionPerThread) {
    const auto strtok_ = KEZ_ENGINE_FN(char *(char *, const char *), strtok);
    const auto all = [&](char *text, const char *delimiters) {
        std::vector<std::string> out;
        for (char *t = strtok_(text, delimiters); t != nullptr; t = strtok_(nullptr, delimiters)) out.emplace_back(t);
        return out;
    };
    char a[] = ",,alpha,,beta;gamma,";
    EXPECT_STREQ(strtok_(a, ","), "alpha");
    EXPECT_EQ(a[7], '\0');
    std::vector<std::string> other;
    char *fresh = a;
    std::thread([&] {
        fresh = strtok_(nullptr, ",");  // a new thread has no position
        char b[] = "x y  z";
        other = all(b, " ");
    }).join();
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(other, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_STREQ(strtok_(nullptr, ";"), ",beta");  // the delimiters may change
    EXPECT_STREQ(strtok_(nullptr, ","), "gamma");
    EXPECT_EQ(strtok_(nullptr, ","), nullptr);
    EXPECT_EQ(strtok_(nullptr, ","), nullptr);
    char only[] = ";;;", empty[] = "", whole[] = "word";
    EXPECT_TRUE(all(only, ";").empty());
    EXPECT_TRUE(all(empty, ";").empty());
    EXPECT_EQ(all(whole, ""), std::vector<std::string>{"word"});
}

// Every argument from EOF to 255, and some outside, against the C
// standard's definitions of the "C" locale's classes.
TEST(ClibCtype, ClassesOfEveryArgument) {
    const char *names[11] = {"isalnum", "isalpha", "iscntrl", "isdigit", "isgraph", "islower",
                             "isprint", "ispunct", "isspace", "isupper", "isxdigit"};
    int (*is[11])(int);
    for (int k = 0; k < 11; ++k) is[k] = kez::test::engine_fn<int(int)>(kez::test::host_export_name(names[k]).c_str());
    const auto tolower_ = KEZ_ENGINE_FN(int(int), tolower), toupper_ = KEZ_ENGINE_FN(int(int), toupper);
    const auto in = [](const char *set, int c) { return c > 0 && c < 256 && std::strchr(set, c) != nullptr; };
    for (int c : {-2, -128, 256, 0x141, -1000000, 1 << 30, -1}) {
        for (int k = 0; k < 11; ++k) EXPECT_EQ(is[k](c), 0) << names[k] << "(" << c << ")";
        EXPECT_EQ(tolower_(c), c);
        EXPECT_EQ(toupper_(c), c);
    }
    for (int c = 0; c <= 255; ++c) {
        const bool up = in("ABCDEFGHIJKLMNOPQRSTUVWXYZ", c), lo = in("abcdefghijklmnopqrstuvwxyz", c);
        const bool dg = in("0123456789", c), pu = in("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", c);
        const bool expected[11] = {up || lo || dg,
                                   up || lo,
                                   c < 32 || c == 127,
                                   dg,
                                   up || lo || dg || pu,
                                   lo,
                                   up || lo || dg || pu || c == ' ',
                                   pu,
                                   in(" \t\n\v\f\r", c),
                                   up,
                                   dg || in("abcdefABCDEF", c)};
        for (int k = 0; k < 11; ++k) EXPECT_EQ(is[k](c) != 0, expected[k]) << names[k] << "(" << c << ")";
        EXPECT_EQ(tolower_(c), up ? c + 32 : c) << c;
        EXPECT_EQ(toupper_(c), lo ? c - 32 : c) << c;
    }
}

}  // namespace
