// string.h. The block functions hand over to the host C runtime's tuned
// ones (the engine's own calls of memcpy etc. are the host's; only these
// exported definitions are the engine's). Comparisons order bytes as
// unsigned char.
#include <cstring>

#include "clib/char_classes.h"
#include "clib/clib_library.h"
#include "clib/clib_string_exports.h"

namespace {

inline unsigned char byte(const char *p) { return static_cast<unsigned char>(*p); }

// The length of `text`, reading at most `limit` bytes.
size_t bounded_length(const char *text, size_t limit) {
    const void *nul = std::memchr(text, 0, limit);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : limit;
}

// A set of bytes, for strspn, strcspn, strpbrk and strtok. The
// terminating null is a member, so scans stop at the end of the text.
struct ByteSet {
    bool member[256] = {};
    explicit ByteSet(const char *chars) {
        member[0] = true;
        for (; *chars != '\0'; ++chars) member[byte(chars)] = true;
    }
    bool has(const char *p) const { return member[byte(p)]; }
};

}  // namespace

extern "C" void *kez_memchr(const void *block, int c, size_t size) {
    return const_cast<void *>(std::memchr(block, c, size));
}
extern "C" int kez_memcmp(const void *a, const void *b, size_t size) { return std::memcmp(a, b, size); }
extern "C" void *kez_memcpy(void *dest, const void *src, size_t size) { return std::memcpy(dest, src, size); }
extern "C" void *kez_memmove(void *dest, const void *src, size_t size) { return std::memmove(dest, src, size); }
extern "C" void *kez_memset(void *dest, int c, size_t size) { return std::memset(dest, c, size); }
extern "C" size_t kez_strlen(const char *text) { return std::strlen(text); }

extern "C" char *kez_strcpy(char *dest, const char *src) {
    std::memcpy(dest, src, std::strlen(src) + 1);
    return dest;
}

extern "C" char *kez_strcat(char *dest, const char *src) {
    kez_strcpy(dest + std::strlen(dest), src);
    return dest;
}

extern "C" char *kez_strncpy(char *dest, const char *src, size_t count) {
    const size_t n = bounded_length(src, count);
    std::memcpy(dest, src, n);
    std::memset(dest + n, 0, count - n);
    return dest;
}

extern "C" char *kez_strncat(char *dest, const char *src, size_t count) {
    char *end = dest + std::strlen(dest);
    const size_t n = bounded_length(src, count);
    std::memcpy(end, src, n);
    end[n] = '\0';
    return dest;
}

extern "C" int kez_strcmp(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return byte(a) - byte(b);
}

extern "C" int kez_strncmp(const char *a, const char *b, size_t count) {
    for (; count > 0; --count, ++a, ++b) {
        if (*a != *b) return byte(a) - byte(b);
        if (*a == '\0') break;
    }
    return 0;
}

extern "C" int kez_strcoll(const char *a, const char *b) { return kez_strcmp(a, b); }

extern "C" size_t kez_strxfrm(char *dest, const char *src, size_t size) {
    const size_t n = std::strlen(src);
    if (n < size) std::memcpy(dest, src, n + 1);
    return n;
}

extern "C" char *kez_strchr(const char *text, int c) {
    const char wanted = static_cast<char>(c);
    for (;; ++text) {
        if (*text == wanted) return const_cast<char *>(text);
        if (*text == '\0') return nullptr;
    }
}

extern "C" char *kez_strrchr(const char *text, int c) {
    const char wanted = static_cast<char>(c);
    const char *last = nullptr;
    for (;; ++text) {
        if (*text == wanted) last = text;
        if (*text == '\0') return const_cast<char *>(last);
    }
}

extern "C" size_t kez_strspn(const char *text, const char *accept) {
    ByteSet set(accept);
    set.member[0] = false;
    const char *p = text;
    while (set.has(p)) ++p;
    return static_cast<size_t>(p - text);
}

extern "C" size_t kez_strcspn(const char *text, const char *reject) {
    const ByteSet set(reject);
    const char *p = text;
    while (!set.has(p)) ++p;
    return static_cast<size_t>(p - text);
}

extern "C" char *kez_strpbrk(const char *text, const char *accept) {
    const char *p = text + kez_strcspn(text, accept);
    return *p != '\0' ? const_cast<char *>(p) : nullptr;
}

extern "C" char *kez_strstr(const char *text, const char *pattern) {
    const size_t n = std::strlen(pattern);
    if (n == 0) return const_cast<char *>(text);
    for (const char *p = text; (p = kez_strchr(p, byte(pattern))) != nullptr; ++p) {
        if (kez_strncmp(p, pattern, n) == 0) return const_cast<char *>(p);
    }
    return nullptr;
}

extern "C" char *kez_strtok(char *text, const char *delimiters) {
    char **position = kez::clib::strtok_position();
    char *p = text != nullptr ? text : *position;
    if (p == nullptr) return nullptr;
    ByteSet set(delimiters);
    set.member[0] = false;
    while (set.has(p)) ++p;
    if (*p == '\0') {
        *position = nullptr;
        return nullptr;
    }
    char *token = p;
    set.member[0] = true;
    while (!set.has(p)) ++p;
    if (*p != '\0') {
        *p = '\0';
        *position = p + 1;
    } else {
        *position = nullptr;
    }
    return token;
}

namespace {
int compare_folded(const char *a, const char *b, size_t count) {
    for (; count > 0; --count, ++a, ++b) {
        const int ca = kez::clib::lower_char(byte(a));
        const int cb = kez::clib::lower_char(byte(b));
        if (ca != cb) return ca - cb;
        if (ca == 0) break;
    }
    return 0;
}
}  // namespace

extern "C" int strnicmp(const char *a, const char *b, size_t count) { return compare_folded(a, b, count); }
extern "C" int stricmp(const char *a, const char *b) { return compare_folded(a, b, static_cast<size_t>(-1)); }
