// Multibyte characters: stdlib.h's conversions between multibyte and wide
// characters (they follow LC_CTYPE) and the _mbs* string functions (they
// follow the multibyte code page, the process's ANSI code page). A lead
// byte of that code page and the byte after it are one character; a lead
// byte followed by the terminating NUL counts as a single byte, so no
// function reads past the terminator. Without lead bytes every function is
// its byte function.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "clib/char_classes.h"
#include "clib/clib_library.h"
#include "clib/clib_locale_exports.h"
#include "os/locale.h"
#include "os/os.h"

namespace kez::clib {
namespace {

using Byte = unsigned char;

struct CodePage {
    unsigned number;  // 0: no lead bytes
    bool lead[256];
};

CodePage load_system_code_page() {
    CodePage cp{};
    cp.number = os::native_lead_bytes(cp.lead);
    return cp;
}

std::atomic<const CodePage *> g_override{nullptr};  // tests' code page
std::atomic<bool> g_native_multibyte{false};        // LC_CTYPE is native

// The system's code page, read at first use. Not a function-local static:
// with the mingw runtime its guard allocates a thread-local index that an
// unloaded engine would leave behind, and every printf asks for the lead
// bytes, the logger's from the engine's own start-up on.
CodePage g_system_code_page{};
std::atomic<int> g_system_code_page_state{0};  // 0 unread, 1 being read, 2 read

const CodePage &code_page() {
    const CodePage *o = g_override.load(std::memory_order_acquire);
    if (o != nullptr) return *o;
    int state = g_system_code_page_state.load(std::memory_order_acquire);
    if (state == 2) return g_system_code_page;
    if (state == 0 && g_system_code_page_state.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) {
        g_system_code_page = load_system_code_page();
        g_system_code_page_state.store(2, std::memory_order_release);
        return g_system_code_page;
    }
    // Another thread is reading it: a system query of a few microseconds.
    while (g_system_code_page_state.load(std::memory_order_acquire) != 2) os::sleep_ms(0);
    return g_system_code_page;
}

// The bytes of the character at p (1 or 2) and its value: lead * 256 +
// trail for a two-byte character.
struct Char {
    unsigned value;
    std::size_t size;
};
inline Char char_at(const CodePage &cp, const Byte *p) {
    if (cp.lead[p[0]] && p[1] != 0) return {static_cast<unsigned>(p[0]) << 8 | p[1], 2};
    return {p[0], 1};
}

// A single-byte character through tolower; two-byte ones as they are.
inline unsigned folded(Char c) {
    return c.size == 1 ? static_cast<unsigned>(lower_char(static_cast<Byte>(c.value))) : c.value;
}

inline int order(unsigned a, unsigned b) { return a < b ? -1 : a > b ? 1 : 0; }

// Compares at most `count` bytes; a two-byte character cut by the count
// compares by its lead byte. `fold`: case-insensitively.
int compare(const Byte *a, const Byte *b, std::size_t count, bool fold) {
    const CodePage &cp = code_page();
    while (count > 0) {
        Char ca = char_at(cp, a), cb = char_at(cp, b);
        if (count == 1) {
            if (ca.size == 2) ca = {a[0], 1};
            if (cb.size == 2) cb = {b[0], 1};
        }
        const unsigned va = fold ? folded(ca) : ca.value, vb = fold ? folded(cb) : cb.value;
        if (va != vb) return order(va, vb);
        if (va == 0) return 0;
        a += ca.size;
        b += cb.size;
        count -= ca.size;
    }
    return 0;
}

bool in_set(const CodePage &cp, Char c, const Byte *set) {
    for (const Byte *s = set; *s != 0;) {
        const Char m = char_at(cp, s);
        if (m.value == c.value) return true;
        s += m.size;
    }
    return false;
}

// The first character at or after p that is (member true) or is not in the
// set; the terminator when there is none.
const Byte *scan(const Byte *p, const Byte *set, bool member) {
    const CodePage &cp = code_page();
    while (*p != 0) {
        const Char c = char_at(cp, p);
        if (in_set(cp, c, set) == member) break;
        p += c.size;
    }
    return p;
}

// How many bytes of src to copy within `count` without cutting a character.
std::size_t whole_chars(const Byte *src, std::size_t count) {
    const CodePage &cp = code_page();
    std::size_t n = 0;
    while (n < count && src[n] != 0) {
        const std::size_t size = char_at(cp, src + n).size;
        if (n + size > count) break;
        n += size;
    }
    return n;
}

Byte *mutable_bytes(const Byte *p) { return const_cast<Byte *>(p); }

}  // namespace

void use_native_multibyte(bool native) noexcept { g_native_multibyte.store(native, std::memory_order_release); }

const bool *active_lead_bytes() noexcept {
    const CodePage &cp = code_page();
    return cp.number != 0 ? cp.lead : nullptr;
}

}  // namespace kez::clib

using namespace kez::clib;

// ---- the _mbs* functions ------------------------------------------------------

extern "C" int _getmbcp(void) { return static_cast<int>(code_page().number); }

extern "C" int _ismbblead(unsigned int c) { return c < 256 && code_page().lead[c] ? 1 : 0; }

extern "C" unsigned char *_mbscpy(unsigned char *dest, const unsigned char *src) {
    std::memmove(dest, src, std::strlen(reinterpret_cast<const char *>(src)) + 1);
    return dest;
}

extern "C" unsigned char *_mbscat(unsigned char *dest, const unsigned char *src) {
    _mbscpy(dest + std::strlen(reinterpret_cast<const char *>(dest)), src);
    return dest;
}

extern "C" unsigned char *_mbschr(const unsigned char *text, unsigned int c) {
    const CodePage &cp = code_page();
    for (;;) {
        const Char ch = char_at(cp, text);
        if (ch.value == c) return mutable_bytes(text);
        if (ch.value == 0) return nullptr;
        text += ch.size;
    }
}

extern "C" unsigned char *_mbsrchr(const unsigned char *text, unsigned int c) {
    const CodePage &cp = code_page();
    const Byte *found = nullptr;
    for (;;) {
        const Char ch = char_at(cp, text);
        if (ch.value == c) found = text;
        if (ch.value == 0) return mutable_bytes(found);
        text += ch.size;
    }
}

extern "C" int _mbscmp(const unsigned char *a, const unsigned char *b) { return compare(a, b, SIZE_MAX, false); }
extern "C" int _mbsicmp(const unsigned char *a, const unsigned char *b) { return compare(a, b, SIZE_MAX, true); }
extern "C" int _mbsnbcmp(const unsigned char *a, const unsigned char *b, size_t count) {
    return compare(a, b, count, false);
}
extern "C" int _mbsnbicmp(const unsigned char *a, const unsigned char *b, size_t count) {
    return compare(a, b, count, true);
}

extern "C" size_t _mbscspn(const unsigned char *text, const unsigned char *reject) {
    return static_cast<size_t>(scan(text, reject, true) - text);
}
extern "C" size_t _mbsspn(const unsigned char *text, const unsigned char *accept) {
    return static_cast<size_t>(scan(text, accept, false) - text);
}
extern "C" unsigned char *_mbspbrk(const unsigned char *text, const unsigned char *accept) {
    const Byte *p = scan(text, accept, true);
    return *p != 0 ? mutable_bytes(p) : nullptr;
}

extern "C" unsigned char *_mbsstr(const unsigned char *text, const unsigned char *pattern) {
    const CodePage &cp = code_page();
    const std::size_t n = std::strlen(reinterpret_cast<const char *>(pattern));
    for (;;) {
        if (std::strncmp(reinterpret_cast<const char *>(text), reinterpret_cast<const char *>(pattern), n) == 0)
            return mutable_bytes(text);
        if (*text == 0) return nullptr;
        text += char_at(cp, text).size;
    }
}

extern "C" unsigned char *_mbstok(unsigned char *text, const unsigned char *delimiters) {
    unsigned char **position = mbstok_position();
    Byte *p = text != nullptr ? text : *position;
    if (p == nullptr) return nullptr;
    p = mutable_bytes(scan(p, delimiters, false));
    if (*p == 0) {
        *position = nullptr;
        return nullptr;
    }
    Byte *end = mutable_bytes(scan(p, delimiters, true));
    if (*end != 0) {
        const std::size_t size = char_at(code_page(), end).size;
        std::memset(end, 0, size);
        *position = end + size;
    } else {
        *position = nullptr;
    }
    return p;
}

extern "C" unsigned char *_mbsinc(const unsigned char *current) {
    return mutable_bytes(current + char_at(code_page(), current).size);
}

extern "C" unsigned char *_mbsdec(const unsigned char *start, const unsigned char *current) {
    if (current <= start) return nullptr;
    const CodePage &cp = code_page();
    if (cp.number == 0) return mutable_bytes(current - 1);
    const Byte *p = start, *previous = start;
    while (p < current) {
        previous = p;
        p += char_at(cp, p).size;
    }
    return mutable_bytes(previous);
}

extern "C" size_t _mbslen(const unsigned char *text) {
    const CodePage &cp = code_page();
    std::size_t n = 0;
    for (; *text != 0; ++n) text += char_at(cp, text).size;
    return n;
}

extern "C" unsigned char *_mbsnbcpy(unsigned char *dest, const unsigned char *src, size_t count) {
    const std::size_t n = whole_chars(src, count);
    std::memmove(dest, src, n);
    std::memset(dest + n, 0, count - n);
    return dest;
}

extern "C" unsigned char *_mbsnbcat(unsigned char *dest, const unsigned char *src, size_t count) {
    Byte *end = dest + std::strlen(reinterpret_cast<const char *>(dest));
    const std::size_t n = whole_chars(src, count);
    std::memmove(end, src, n);
    end[n] = 0;
    return dest;
}

extern "C" int _mbsbtype(const unsigned char *text, size_t index) {
    const CodePage &cp = code_page();
    for (std::size_t at = 0;;) {
        if (text[at] == 0) return -1;
        const std::size_t size = char_at(cp, text + at).size;
        if (at == index) return size == 2 ? 1 : 0;
        if (at + size > index) return 2;
        at += size;
    }
}

#define KEZ_MBS_ALIAS(ret, name, params, args) \
    extern "C" ret Kez_##name params { return name args; }
KEZ_MBS_EXPORTS(KEZ_MBS_ALIAS)
#undef KEZ_MBS_ALIAS

// ---- multibyte and wide characters ------------------------------------------

namespace {

// One character of text (at most size bytes): its bytes, or -1.
int to_wide(const Byte *text, std::size_t size, std::uint32_t *wide) {
    if (size == 0) return -1;
    if (!g_native_multibyte.load(std::memory_order_acquire)) {
        *wide = text[0];
        return 1;
    }
    if (code_page().lead[text[0]] && (size < 2 || text[1] == 0)) return -1;
    return kez::os::native_char_to_wide(text, size < 2 ? size : 2, wide);
}

int from_wide(std::uint32_t wide, Byte out[2]) {
    if (!g_native_multibyte.load(std::memory_order_acquire)) {
        if (wide > 0xFF) return -1;
        out[0] = static_cast<Byte>(wide);
        return 1;
    }
    return kez::os::native_wide_to_char(wide, out);
}

std::uint32_t wide_value(wchar_t w) {
    // A negative wchar_t (Linux's is signed) is no character.
    const auto value = static_cast<long long>(w);
    return value < 0 ? UINT32_MAX : static_cast<std::uint32_t>(value);
}

}  // namespace

extern "C" int kez_mblen(const char *text, size_t size) { return kez_mbtowc(nullptr, text, size); }

extern "C" int kez_mbtowc(wchar_t *wide, const char *text, size_t size) {
    if (text == nullptr) return 0;  // no shift states
    std::uint32_t w = 0;
    const int n = to_wide(reinterpret_cast<const Byte *>(text), size, &w);
    if (n < 0) {
        set_errno(kEILSEQ);
        return -1;
    }
    if (wide != nullptr) *wide = static_cast<wchar_t>(w);
    return w == 0 ? 0 : n;
}

extern "C" size_t kez_mbstowcs(wchar_t *dest, const char *src, size_t count) {
    const auto *p = reinterpret_cast<const Byte *>(src);
    std::size_t stored = 0;
    while (dest == nullptr || stored < count) {
        std::uint32_t w = 0;
        const int n = to_wide(p, 2, &w);
        if (n < 0) {
            set_errno(kEILSEQ);
            return static_cast<size_t>(-1);
        }
        if (dest != nullptr) dest[stored] = static_cast<wchar_t>(w);
        if (w == 0) break;
        ++stored;
        p += n;
    }
    return stored;
}

extern "C" int kez_wctomb(char *text, wchar_t wide) {
    if (text == nullptr) return 0;  // no shift states
    Byte out[2];
    const int n = from_wide(wide_value(wide), out);
    if (n < 0) {
        set_errno(kEILSEQ);
        return -1;
    }
    std::memcpy(text, out, static_cast<std::size_t>(n));
    return n;
}

extern "C" size_t kez_wcstombs(char *dest, const wchar_t *src, size_t size) {
    std::size_t stored = 0;
    for (;; ++src) {
        Byte out[2];
        const int n = from_wide(wide_value(*src), out);
        if (n < 0) {
            set_errno(kEILSEQ);
            return static_cast<size_t>(-1);
        }
        if (*src == 0) {
            if (dest != nullptr && stored < size) dest[stored] = '\0';
            return stored;
        }
        if (dest != nullptr) {
            if (stored + static_cast<std::size_t>(n) > size) return stored;
            std::memcpy(dest + stored, out, static_cast<std::size_t>(n));
        }
        stored += static_cast<std::size_t>(n);
    }
}

extern "C" size_t kez_wcslen(const wchar_t *text) {
    const wchar_t *p = text;
    while (*p != 0) ++p;
    return static_cast<size_t>(p - text);
}

extern "C" int Kez_MbCurMax(void) {
    return g_native_multibyte.load(std::memory_order_acquire) && code_page().number != 0 ? 2 : 1;
}

#if defined(KEZ_TEST_HOOKS)
#include "core/test_hooks.h"

namespace {
CodePage g_test_code_page;
}

extern "C" void KezTest_SetLeadBytes(unsigned int codePage, const unsigned char *ranges) {
    if (ranges == nullptr) {
        g_override.store(nullptr, std::memory_order_release);
        return;
    }
    g_override.store(nullptr, std::memory_order_release);
    g_test_code_page = CodePage{};
    g_test_code_page.number = codePage;
    for (; ranges[0] != 0 && ranges[1] != 0; ranges += 2) {
        for (unsigned b = ranges[0]; b <= ranges[1]; ++b) g_test_code_page.lead[b] = true;
    }
    g_override.store(&g_test_code_page, std::memory_order_release);
}
#endif
