// Locales and multibyte characters through the engine's exports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_string.h"

namespace {

using std::size_t;
using U8 = unsigned char;

struct Lconv {  // the public struct lconv
    char *decimal_point, *thousands_sep, *grouping, *int_curr_symbol, *currency_symbol, *mon_decimal_point,
        *mon_thousands_sep, *mon_grouping, *positive_sign, *negative_sign;
    char chars[14];  // int_frac_digits .. int_n_sign_posn
};

const auto setlocale_ = [](int category, const char *name) -> const char * {
    return KEZ_ENGINE_FN(char *(int, const char *), setlocale)(category, name);
};
std::string name_of(int category) {
    const char *n = setlocale_(category, nullptr);
    return n != nullptr ? n : "<null>";
}
Lconv *localeconv_() { return KEZ_ENGINE_FN(Lconv *(), localeconv)(); }
void set_lead_bytes(unsigned code_page, const U8 *ranges) {
    kez::test::engine_fn<void(unsigned, const U8 *)>("KezTest_SetLeadBytes")(code_page, ranges);
}
template <class F>
F *mbs(const char *name) {
    return kez::test::engine_fn<F>(name);
}
const U8 *u(const char *s) { return reinterpret_cast<const U8 *>(s); }
int sign(int v) { return (v > 0) - (v < 0); }

// The native locale's name; on Linux the tests choose it through LC_ALL.
std::string native() {
#if !defined(_WIN32)
    kez::os::env_set("LC_ALL", "C.UTF-8");
#endif
    const char *n = setlocale_(4, "");
    EXPECT_NE(n, nullptr);
    std::string name = n != nullptr ? n : "";
    setlocale_(4, "C");
    return name;
}

class ClibLocale : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        ASSERT_STREQ(setlocale_(0, "C"), "C");
        set_lead_bytes(0, nullptr);
    }
};

TEST_F(ClibLocale, NamesPerCategoryAndComposite) {
    const std::string n = native();
    std::printf("native locale: %s\n", n.c_str());
#if !defined(_WIN32)
    EXPECT_EQ(n, "C.UTF-8");
#endif
    EXPECT_EQ(name_of(0), "C");
    EXPECT_EQ(std::string(setlocale_(4, n.c_str())), n);  // the native name itself is accepted
    const std::string mixed = "C:C:C:" + n + ":C";
    EXPECT_EQ(name_of(0), mixed);
    EXPECT_EQ(name_of(3), "C");
    ASSERT_STREQ(setlocale_(0, "C"), "C");
    EXPECT_EQ(std::string(setlocale_(0, (n + ":C:" + n + ":C:C").c_str())), n + ":C:" + n + ":C:C");
    for (int c : {1, 3}) EXPECT_EQ(name_of(c), n);
    for (int c : {2, 4, 5}) EXPECT_EQ(name_of(c), "C");
    EXPECT_EQ(std::string(setlocale_(0, "")), n);
    for (int c = 1; c <= 5; ++c) EXPECT_EQ(name_of(c), n);
    EXPECT_EQ(std::string(setlocale_(0, "C:C:C:C:C")), "C");
}

TEST_F(ClibLocale, RefusedNamesChangeNothing) {
    const std::string n = native();
    ASSERT_NE(setlocale_(4, ""), nullptr);
    const std::string before = name_of(0);
    const std::string bad[] = {"xx_YY.bogus", "c", "POSIX", "C:C", "C:C:C:C:C:C", "C::C:C:C", "C:C:C:C:" + n + "x",
                               ":C:C:C:C", n + " "};
    for (const std::string &b : bad) {
        for (int c : {0, 4}) {
            EXPECT_EQ(setlocale_(c, b.c_str()), nullptr) << b << " category " << c;
            EXPECT_EQ(name_of(0), before) << b;
        }
    }
    for (int c : {-1, 6}) EXPECT_EQ(setlocale_(c, "C"), nullptr);
    EXPECT_EQ(setlocale_(6, nullptr), nullptr);
}

TEST_F(ClibLocale, LocaleconvInTheCLocale) {
    const Lconv *l = localeconv_();
    EXPECT_STREQ(l->decimal_point, ".");
    const char *empty[] = {l->thousands_sep,   l->grouping,          l->int_curr_symbol, l->currency_symbol,
                           l->mon_decimal_point, l->mon_thousands_sep, l->mon_grouping,    l->positive_sign,
                           l->negative_sign};
    for (const char *s : empty) EXPECT_STREQ(s, "");
    for (char c : l->chars) EXPECT_EQ(c, 127);
    // Back from the native locale the "C" values return.
    native();
    ASSERT_NE(setlocale_(0, ""), nullptr);
    EXPECT_NE(localeconv_()->decimal_point[0], '\0');
    ASSERT_STREQ(setlocale_(0, "C"), "C");
    EXPECT_STREQ(localeconv_()->decimal_point, ".");
    EXPECT_STREQ(localeconv_()->grouping, "");
    EXPECT_EQ(localeconv_()->chars[13], 127);
}

TEST_F(ClibLocale, StrtodFollowsTheNumericDecimalPoint) {
    const auto strtod_ = KEZ_ENGINE_FN(double(const char *, char **), strtod);
    struct Case {
        std::string text;
        double value;
        size_t used;
    };
    auto check = [&](const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            char *end = nullptr;
            EXPECT_EQ(strtod_(c.text.c_str(), &end), c.value) << c.text;
            EXPECT_EQ(static_cast<size_t>(end - c.text.c_str()), c.used) << c.text;
        }
    };
    check({{"1.5", 1.5, 3}, {"1,5", 1.0, 1}, {"-.25e1x", -2.5, 6}});
    native();
    ASSERT_NE(setlocale_(4, ""), nullptr);
    const std::string point = localeconv_()->decimal_point;
    ASSERT_EQ(point.size(), 1u);
    check({{"1" + point + "5", 1.5, 3}, {"2" + point + "75e1", 27.5, 6}});
    if (point != ".") check({{"1.5", 1.0, 1}});
    std::printf("native decimal point: '%s'\n", point.c_str());
}

// Without lead bytes each _mbs function is its byte function.
TEST_F(ClibLocale, SingleByteCodePageBehavesAsByteFunctions) {
    std::printf("system multibyte code page: %d%s\n", mbs<int()>("_getmbcp")(),
                mbs<int()>("_getmbcp")() == 0 ? " (single-byte)" : "");
    const U8 none[] = {0};
    set_lead_bytes(0, none);
    EXPECT_EQ(mbs<int()>("_getmbcp")(), 0);
    const char *texts[] = {"", "abc", "a\x81\x41z", "\xE0\x5C\xE0", "Hello, World", "\xFF\x80\x7F", "aAbB\xC0\xE0"};
    const char *sets[] = {"", "a", "\x81", "\x41\xE0", "lo", "\xFF", "B\xE0"};
    const auto chr = mbs<U8 *(const U8 *, unsigned)>("Kez__mbschr");
    const auto rchr = mbs<U8 *(const U8 *, unsigned)>("_mbsrchr");
    const auto cmp = mbs<int(const U8 *, const U8 *)>("_mbscmp");
    const auto icmp = mbs<int(const U8 *, const U8 *)>("_mbsicmp");
    const auto ncmp = mbs<int(const U8 *, const U8 *, size_t)>("_mbsnbcmp");
    const auto nicmp = mbs<int(const U8 *, const U8 *, size_t)>("_mbsnbicmp");
    const auto cspn = mbs<size_t(const U8 *, const U8 *)>("_mbscspn");
    const auto spn = mbs<size_t(const U8 *, const U8 *)>("_mbsspn");
    const auto pbrk = mbs<U8 *(const U8 *, const U8 *)>("_mbspbrk");
    const auto str = mbs<U8 *(const U8 *, const U8 *)>("_mbsstr");
    const auto len = mbs<size_t(const U8 *)>("_mbslen");
    const auto inc = mbs<U8 *(const U8 *)>("_mbsinc");
    const auto dec = mbs<U8 *(const U8 *, const U8 *)>("_mbsdec");
    const auto btype = mbs<int(const U8 *, size_t)>("_mbsbtype");
    const auto nbcpy = mbs<U8 *(U8 *, const U8 *, size_t)>("_mbsnbcpy");
    const auto nbcat = mbs<U8 *(U8 *, const U8 *, size_t)>("_mbsnbcat");
    const auto stricmp_ = kez::test::engine_fn<int(const char *, const char *)>("stricmp");
    const auto strnicmp_ = kez::test::engine_fn<int(const char *, const char *, size_t)>("strnicmp");
    for (const char *t : texts) {
        const U8 *ut = u(t);
        const size_t n = std::strlen(t);
        EXPECT_EQ(len(ut), n);
        for (size_t i = 0; i <= n; ++i) {
            EXPECT_EQ(btype(ut, i), i < n ? 0 : -1) << t << " " << i;
            if (i < n) {
                EXPECT_EQ(inc(ut + i), ut + i + 1);
            }
            EXPECT_EQ(dec(ut, ut + i), i > 0 ? ut + i - 1 : nullptr);
        }
        for (unsigned c : {0u, 'a'+0u, 0x81u, 0xE0u, 0x5Cu, 0xFFu, 0x8141u}) {
            EXPECT_EQ(chr(ut, c), c < 256 ? u(std::strchr(t, static_cast<int>(c))) : nullptr) << t << " " << c;
            EXPECT_EQ(rchr(ut, c), c < 256 ? u(std::strrchr(t, static_cast<int>(c))) : nullptr) << t << " " << c;
        }
        for (const char *s : sets) {
            const U8 *us = u(s);
            EXPECT_EQ(cspn(ut, us), std::strcspn(t, s)) << t << " / " << s;
            EXPECT_EQ(spn(ut, us), std::strspn(t, s)) << t << " / " << s;
            EXPECT_EQ(pbrk(ut, us), u(std::strpbrk(t, s))) << t << " / " << s;
            EXPECT_EQ(str(ut, us), u(std::strstr(t, s))) << t << " / " << s;
        }
        for (const char *o : texts) {
            EXPECT_EQ(sign(cmp(ut, u(o))), sign(std::strcmp(t, o))) << t << " / " << o;
            EXPECT_EQ(sign(icmp(ut, u(o))), sign(stricmp_(t, o))) << t << " / " << o;
            for (size_t k = 0; k <= 4; ++k) {
                EXPECT_EQ(sign(ncmp(ut, u(o), k)), sign(std::strncmp(t, o, k))) << t << " / " << o << " " << k;
                EXPECT_EQ(sign(nicmp(ut, u(o), k)), sign(strnicmp_(t, o, k))) << t << " / " << o << " " << k;
            }
        }
        for (size_t k = 0; k <= n + 2; ++k) {
            U8 got[32], want[32];
            std::memset(got, 0x55, sizeof got);
            std::memset(want, 0x55, sizeof want);
            nbcpy(got, ut, k);
            std::strncpy(reinterpret_cast<char *>(want), t, k);
            EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << t << " " << k;
            std::strcpy(reinterpret_cast<char *>(got), "x\xF0");
            std::strcpy(reinterpret_cast<char *>(want), "x\xF0");
            nbcat(got, ut, k);
            std::strncat(reinterpret_cast<char *>(want), t, k);
            EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << t << " " << k;
        }
    }
}

TEST_F(ClibLocale, LeadBytesMakeTwoByteCharacters) {
    const U8 ranges[] = {0x81, 0x9F, 0xE0, 0xFC, 0};
    set_lead_bytes(932, ranges);
    EXPECT_EQ(mbs<int()>("Kez__getmbcp")(), 932);
    const auto lead = mbs<int(unsigned)>("_ismbblead");
    for (unsigned b : {0x80u, 0x81u, 0x9Fu, 0xA0u, 0xDFu, 0xE0u, 0xFCu, 0xFDu, 0x181u})
        EXPECT_EQ(lead(b), (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) << b;
    // 'A', 81 41, 'B', E0 5C, 'C': the trail bytes are 'A' and '\'.
    const U8 *t = u("A\x81\x41" "B\xE0\x5C" "C");
    EXPECT_EQ(mbs<size_t(const U8 *)>("_mbslen")(t), 5u);
    const auto chr = mbs<U8 *(const U8 *, unsigned)>("_mbschr");
    EXPECT_EQ(chr(t, '\\'), nullptr);
    EXPECT_EQ(chr(t, 0x8141), t + 1);
    EXPECT_EQ(chr(t, 0), t + 7);
    EXPECT_EQ(mbs<U8 *(const U8 *, unsigned)>("_mbsrchr")(t, 'A'), t);
    EXPECT_EQ(mbs<U8 *(const U8 *)>("_mbsinc")(t + 1), t + 3);
    const U8 *lone = u("\x81");  // a lead byte before the terminator is a single byte
    EXPECT_EQ(mbs<U8 *(const U8 *)>("_mbsinc")(lone), lone + 1);
    EXPECT_EQ(mbs<size_t(const U8 *)>("_mbslen")(lone), 1u);
    const auto dec = mbs<U8 *(const U8 *, const U8 *)>("_mbsdec");
    EXPECT_EQ(dec(t, t + 3), t + 1);
    EXPECT_EQ(dec(t, t + 6), t + 4);
    const int types[] = {0, 1, 2, 0, 1, 2, 0, -1};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(mbs<int(const U8 *, size_t)>("_mbsbtype")(t, i), types[i]) << i;
    EXPECT_EQ(mbs<size_t(const U8 *, const U8 *)>("_mbscspn")(t, u("\\")), 7u);
    EXPECT_EQ(mbs<size_t(const U8 *, const U8 *)>("_mbsspn")(t, u("A\x81\x41")), 3u);
    EXPECT_EQ(mbs<U8 *(const U8 *, const U8 *)>("_mbspbrk")(t, u("\\B")), t + 3);
    const auto str = mbs<U8 *(const U8 *, const U8 *)>("_mbsstr");
    EXPECT_EQ(str(t, u("AB")), nullptr);  // its 'A' is a trail byte
    EXPECT_EQ(str(t, u("B\xE0\x5C")), t + 3);
    // Two-byte characters order after single bytes; their trail bytes are
    // not case-folded; a count that cuts one compares the lead byte.
    EXPECT_GT(mbs<int(const U8 *, const U8 *)>("_mbscmp")(u("\x81\x41"), u("\xA1")), 0);
    EXPECT_NE(mbs<int(const U8 *, const U8 *)>("_mbsicmp")(u("\x81\x61"), u("\x81\x41")), 0);
    EXPECT_EQ(mbs<int(const U8 *, const U8 *)>("_mbsicmp")(u("x\x81\x61Q"), u("X\x81\x61q")), 0);
    const auto ncmp = mbs<int(const U8 *, const U8 *, size_t)>("_mbsnbcmp");
    EXPECT_EQ(ncmp(u("\x81\x41"), u("\x81\x42"), 1), 0);
    EXPECT_LT(ncmp(u("\x81\x41"), u("\x81\x42"), 2), 0);
    U8 buf[8];
    std::memset(buf, 0x55, sizeof buf);
    mbs<U8 *(U8 *, const U8 *, size_t)>("_mbsnbcpy")(buf, u("A\x81\x41"), 2);
    EXPECT_EQ(0, std::memcmp(buf, "A\0\x55", 3));
    std::strcpy(reinterpret_cast<char *>(buf), "x");
    mbs<U8 *(U8 *, const U8 *, size_t)>("_mbsnbcat")(buf, u("A\x81\x41"), 2);
    EXPECT_STREQ(reinterpret_cast<char *>(buf), "xA");
    // Tokens split at the two-byte space 81 40, never at a trail byte.
    const auto tok = mbs<U8 *(U8 *, const U8 *)>("_mbstok");
    char text[] = "\x81\x40" "ab\x81\x40\x81\x40\x81\x41" "c\x81\x40";
    EXPECT_STREQ(reinterpret_cast<char *>(tok(reinterpret_cast<U8 *>(text), u("\x81\x40"))), "ab");
    EXPECT_STREQ(reinterpret_cast<char *>(tok(nullptr, u("\x81\x40"))), "\x81\x41" "c");
    EXPECT_EQ(tok(nullptr, u("\x81\x40")), nullptr);
    char one[] = "x\x81\x41y";
    EXPECT_STREQ(reinterpret_cast<char *>(tok(reinterpret_cast<U8 *>(one), u("A"))), "x\x81\x41y");
    // LC_CTYPE "C" keeps single-byte conversions whatever the code page.
    EXPECT_EQ(KEZ_ENGINE_FN(int(const char *, size_t), mblen)("\x81\x41", 2), 1);
    EXPECT_EQ(kez::test::engine_fn<int()>("Kez_MbCurMax")(), 1);
}

TEST_F(ClibLocale, MbstokPositionIsPerThread) {
    const auto tok = mbs<U8 *(U8 *, const U8 *)>("Kez__mbstok");
    char text[] = "a b c";
    ASSERT_STREQ(reinterpret_cast<char *>(tok(reinterpret_cast<U8 *>(text), u(" "))), "a");
    U8 *other = reinterpret_cast<U8 *>(text);
    std::thread([&] { other = tok(nullptr, u(" ")); }).join();
    EXPECT_EQ(other, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(tok(nullptr, u(" "))), "b");
}

TEST_F(ClibLocale, SingleByteConversionsInTheCLocale) {
    const auto mblen_ = KEZ_ENGINE_FN(int(const char *, size_t), mblen);
    const auto mbtowc_ = KEZ_ENGINE_FN(int(wchar_t *, const char *, size_t), mbtowc);
    const auto wctomb_ = KEZ_ENGINE_FN(int(char *, wchar_t), wctomb);
    const auto mbstowcs_ = KEZ_ENGINE_FN(size_t(wchar_t *, const char *, size_t), mbstowcs);
    const auto wcstombs_ = KEZ_ENGINE_FN(size_t(char *, const wchar_t *, size_t), wcstombs);
    const auto wcslen_ = KEZ_ENGINE_FN(size_t(const wchar_t *), wcslen);
    EXPECT_EQ(kez::test::engine_fn<int()>("Kez_MbCurMax")(), 1);
    struct {
        const char *text;
        size_t size;
        int length;
    } lengths[] = {{nullptr, 0, 0}, {"", 1, 0}, {"a", 0, -1}, {"a", 1, 1}, {"\xE9x", 2, 1}, {"\xFF", 5, 1}};
    for (const auto &c : lengths) EXPECT_EQ(mblen_(c.text, c.size), c.length) << (c.text ? c.text : "null");
    for (int b = 1; b < 256; ++b) {
        const char in[2] = {static_cast<char>(b), 0};
        wchar_t w = 0;
        ASSERT_EQ(mbtowc_(&w, in, 1), 1);
        ASSERT_EQ(w, static_cast<wchar_t>(b));
        char out[2] = {0, 0};
        ASSERT_EQ(wctomb_(out, w), 1);
        ASSERT_EQ(static_cast<U8>(out[0]), b);
    }
    char out[4];
    EXPECT_EQ(wctomb_(out, 0x100), -1);
    EXPECT_EQ(wctomb_(nullptr, L'a'), 0);
    wchar_t wide[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(mbstowcs_(wide, "a\xFFz", 5), 3u);
    const wchar_t want[] = {L'a', 0xFF, L'z', 0, 9};
    EXPECT_EQ(0, std::memcmp(wide, want, sizeof want));
    EXPECT_EQ(mbstowcs_(nullptr, "abcd", 0), 4u);
    EXPECT_EQ(mbstowcs_(wide, "abcd", 2), 2u);
    EXPECT_EQ(wcslen_(want), 3u);
    char bytes[4] = {9, 9, 9, 9};
    EXPECT_EQ(wcstombs_(bytes, want, 4), 3u);
    EXPECT_EQ(0, std::memcmp(bytes, "a\xFFz", 4));
    EXPECT_EQ(wcstombs_(nullptr, want, 0), 3u);
    std::memset(bytes, 9, sizeof bytes);
    EXPECT_EQ(wcstombs_(bytes, want, 2), 2u);
    EXPECT_EQ(bytes[2], 9);  // no room for the terminator
    const wchar_t wide_only[] = {L'a', 0x100, 0};
    EXPECT_EQ(wcstombs_(bytes, wide_only, 4), static_cast<size_t>(-1));
#if !defined(_WIN32)
    // On Linux the native locale converts single bytes as well.
    native();
    ASSERT_NE(setlocale_(2, ""), nullptr);
    wchar_t w = 0;
    EXPECT_EQ(mbtowc_(&w, "\xE9", 1), 1);
    EXPECT_EQ(w, 0xE9);
    EXPECT_EQ(mblen_("\xC3\xA9", 2), 1);
#endif
}

}  // namespace
