// The formatting and I/O library's byte and string utilities. Every buffer
// is addressed as base + index; null pointers and counts that ask for
// nothing make a call do nothing. Case-insensitive work compares the C
// library's upper-case mappings of unsigned bytes, so bytes above 127 follow
// the locale in force and never index the tables negatively.
//
// The _UP_ twins check the buffers with what user protection knows about the
// call before running it: null pointers always, sizes when the caller
// described its arguments. A twin that reports runs nothing and returns
// what the call gives for a null pointer.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "clib/char_classes.h"
#include "core/messages.h"
#include "fmtio/fmtio_library.h"
#include "kez/formatio.h"
#include "protect/library_checks.h"
#include "protect/runtime_error.h"

using std::ptrdiff_t;

namespace {

const unsigned char *bytes_at(const void *base, ptrdiff_t index) {
    return static_cast<const unsigned char *>(base) + index;
}
unsigned char *bytes_at(void *base, ptrdiff_t index) { return static_cast<unsigned char *>(base) + index; }

const unsigned char *upper_table() { return kez::clib::char_classes().upper; }

int sign(int value) { return (value > 0) - (value < 0); }

// Characters CopyString takes from `source`: up to its NUL, at most
// `max_chars` (-1: no limit; below -1: none).
std::size_t copy_length(const char *source, ptrdiff_t max_chars) {
    if (max_chars == -1) return std::strlen(source);
    if (max_chars <= 0) return 0;
    // memchr stops at the first NUL, so no byte after it is read.
    const void *nul = std::memchr(source, '\0', static_cast<std::size_t>(max_chars));
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nul) - source)
                          : static_cast<std::size_t>(max_chars);
}

int compare_folded(const unsigned char *a, const unsigned char *b, std::size_t count) {
    const unsigned char *upper = upper_table();
    for (std::size_t i = 0; i < count; ++i)
        if (upper[a[i]] != upper[b[i]]) return upper[a[i]] < upper[b[i]] ? -1 : 1;
    return 0;
}

// Offset of the first (or last) place in `region` (n bytes) where `pattern`
// (m bytes, 0 < m <= n) matches, -1 when none does. The case-sensitive left
// search skips to candidates with memchr.
ptrdiff_t find(const unsigned char *region, std::size_t n, const unsigned char *pattern, std::size_t m, bool fold,
               bool from_right) {
    const std::size_t last = n - m;  // the last place a match can start
    if (!fold && !from_right) {
        const unsigned char *at = region;
        const unsigned char *const end = region + last + 1;
        while (at < end) {
            at = static_cast<const unsigned char *>(std::memchr(at, pattern[0], static_cast<std::size_t>(end - at)));
            if (at == nullptr) return -1;
            if (std::memcmp(at + 1, pattern + 1, m - 1) == 0) return at - region;
            ++at;
        }
        return -1;
    }
    const unsigned char *upper = upper_table();
    auto matches = [&](std::size_t i) {
        if (!fold) return region[i] == pattern[0] && std::memcmp(region + i + 1, pattern + 1, m - 1) == 0;
        for (std::size_t k = 0; k < m; ++k)
            if (upper[region[i + k]] != upper[pattern[k]]) return false;
        return true;
    };
    if (from_right) {
        for (std::size_t i = last + 1; i-- > 0;)
            if (matches(i)) return static_cast<ptrdiff_t>(i);
    } else {
        for (std::size_t i = 0; i <= last; ++i)
            if (matches(i)) return static_cast<ptrdiff_t>(i);
    }
    return -1;
}

void map_in_place(char *string, const unsigned char *map) {
    for (unsigned char *p = reinterpret_cast<unsigned char *>(string); *p != '\0'; ++p)
        if (map[*p] != *p) *p = map[*p];
}

}  // namespace

extern "C" void FillBytes(void *buffer, ptrdiff_t index, ptrdiff_t count, int value) {
    if (buffer == nullptr || count <= 0) return;
    std::memset(bytes_at(buffer, index), static_cast<unsigned char>(value), static_cast<std::size_t>(count));
}

extern "C" void CopyBytes(void *target, ptrdiff_t targetIndex, const void *source, ptrdiff_t sourceIndex,
                          ptrdiff_t count) {
    if (target == nullptr || source == nullptr || count <= 0) return;
    std::memmove(bytes_at(target, targetIndex), bytes_at(source, sourceIndex), static_cast<std::size_t>(count));
}

extern "C" ptrdiff_t CopyString(char *target, ptrdiff_t targetIndex, const char *source, ptrdiff_t sourceIndex,
                                ptrdiff_t maxChars) {
    if (target == nullptr || source == nullptr) return 0;
    const std::size_t n = copy_length(source + sourceIndex, maxChars);
    // The length is taken before anything moves, and memmove copies the
    // source as it was: overlapping strings copy correctly.
    std::memmove(target + targetIndex, source + sourceIndex, n);
    target[targetIndex + static_cast<ptrdiff_t>(n)] = '\0';
    return static_cast<ptrdiff_t>(n);
}

extern "C" int CompareBytes(const void *buffer1, ptrdiff_t index1, const void *buffer2, ptrdiff_t index2,
                            ptrdiff_t count, int caseSensitive) {
    if (buffer1 == nullptr || buffer2 == nullptr || count <= 0) return 0;
    const unsigned char *a = bytes_at(buffer1, index1);
    const unsigned char *b = bytes_at(buffer2, index2);
    if (caseSensitive != 0) return sign(std::memcmp(a, b, static_cast<std::size_t>(count)));
    return compare_folded(a, b, static_cast<std::size_t>(count));
}

extern "C" int CompareStrings(const char *string1, ptrdiff_t index1, const char *string2, ptrdiff_t index2,
                              int caseSensitive) {
    if (string1 == nullptr || string2 == nullptr) return 0;
    // strcmp compares as unsigned char.
    if (caseSensitive != 0) return sign(std::strcmp(string1 + index1, string2 + index2));
    const unsigned char *a = bytes_at(string1, index1);
    const unsigned char *b = bytes_at(string2, index2);
    const unsigned char *upper = upper_table();
    for (;; ++a, ++b) {
        if (upper[*a] != upper[*b]) return upper[*a] < upper[*b] ? -1 : 1;
        if (*a == '\0') return 0;
    }
}

extern "C" ptrdiff_t FindPattern(const void *buffer, ptrdiff_t startIndex, ptrdiff_t count, const char *pattern,
                                 int caseSensitive, int startFromRight) {
    constexpr long long kMaxCount = 4294967295LL;
    if (buffer == nullptr || pattern == nullptr || count < -1 || static_cast<long long>(count) > kMaxCount) return -1;
    const unsigned char *region = bytes_at(buffer, startIndex);
    const std::size_t n =
        count == -1 ? std::strlen(reinterpret_cast<const char *>(region)) : static_cast<std::size_t>(count);
    const std::size_t m = std::strlen(pattern);
    if (m == 0 || m > n) return -1;
    const ptrdiff_t at =
        find(region, n, reinterpret_cast<const unsigned char *>(pattern), m, caseSensitive == 0, startFromRight != 0);
    return at < 0 ? -1 : startIndex + at;
}

extern "C" int StringLength(const char *string) {
    if (string == nullptr) return -1;
    const std::size_t n = std::strlen(string);
    if (n > static_cast<std::size_t>(INT_MAX)) {
        kez::fmtio::set_error(KEZ_FMTIO_STRING_TOO_LONG);
        return -1;
    }
    return static_cast<int>(n);
}

extern "C" void StringLowerCase(char *string) {
    if (string != nullptr) map_in_place(string, kez::clib::char_classes().lower);
}

extern "C" void StringUpperCase(char *string) {
    if (string != nullptr) map_in_place(string, upper_table());
}

// ---- checked twins -------------------------------------------------------------

namespace {

namespace protect = kez::protect;

// The argument messages: a null pointer, and reading or writing past the
// known end of a buffer (void *) or of a string (char *).
constexpr int kNullPointer = 255;
constexpr int kWriteBeyondArray = 238;
constexpr int kWriteBeyondString = 239;
constexpr int kReadBeyondArray = 241;
constexpr int kReadBeyondString = 242;

// The checks of one twin call. Arguments are numbered from 1, as reports
// name them; only the first four fixed arguments carry known sizes.
class Checks {
  public:
    Checks() : on_(protect::protection_available()) { described_ = on_ && protect::take_passed_arguments(passed_); }

    bool on() const { return on_; }

    // Argument `n`, pointer `base`, holds `bytes` bytes from base + index.
    // A region that starts before the pointer is checked at its end only:
    // the known bytes run from the pointer to the end of its object.
    bool holds(int n, const void *base, ptrdiff_t index, ptrdiff_t bytes, int message) {
        if (!on_ || bytes <= 0) return true;
        if (base == nullptr) return report(n, kNullPointer);
        const std::size_t known = known_bytes(n);
        if (known == SIZE_MAX) return true;
        if (index > PTRDIFF_MAX - bytes) return report(n, message);
        const ptrdiff_t end = index + bytes;
        return end <= 0 || static_cast<std::size_t>(end) <= known || report(n, message);
    }

    // Argument `n` holds a string at base + index that ends within its
    // known bytes, or at least `limit` characters of one (-1: no limit;
    // below -1: none are read). A string that starts before the pointer is
    // not checked.
    bool string(int n, const char *base, ptrdiff_t index, ptrdiff_t limit) {
        if (!on_) return true;
        if (base == nullptr) return report(n, kNullPointer);
        const std::size_t known = known_bytes(n);
        if (known == SIZE_MAX || index < 0 || limit < -1) return true;
        const std::size_t room = static_cast<std::size_t>(index) < known ? known - static_cast<std::size_t>(index) : 0;
        if (limit >= 0 && static_cast<std::size_t>(limit) <= room) return true;
        return std::memchr(base + index, '\0', room) != nullptr || report(n, kReadBeyondString);
    }

  private:
    std::size_t known_bytes(int n) const {
        return described_ && n >= 1 && n <= 4 ? passed_.fixed_known_bytes[n - 1] : SIZE_MAX;
    }
    static bool report(int n, int message) {
        protect::report_argument_message(protect::kFatal, message, n, kez::core::message_text(message));
        return false;
    }

    bool on_;
    bool described_ = false;
    protect::PassedArguments passed_{};
};

}  // namespace

extern "C" void _UP_FillBytes(void *buffer, ptrdiff_t index, ptrdiff_t count, int value) {
    if (Checks().holds(1, buffer, index, count, kWriteBeyondArray)) FillBytes(buffer, index, count, value);
}

extern "C" void _UP_CopyBytes(void *target, ptrdiff_t targetIndex, const void *source, ptrdiff_t sourceIndex,
                              ptrdiff_t count) {
    Checks c;
    if (c.holds(3, source, sourceIndex, count, kReadBeyondArray) &&
        c.holds(1, target, targetIndex, count, kWriteBeyondArray))
        CopyBytes(target, targetIndex, source, sourceIndex, count);
}

extern "C" ptrdiff_t _UP_CopyString(char *target, ptrdiff_t targetIndex, const char *source, ptrdiff_t sourceIndex,
                                    ptrdiff_t maxChars) {
    Checks c;
    if (!c.string(3, source, sourceIndex, maxChars)) return 0;
    const std::size_t n = c.on() ? copy_length(source + sourceIndex, maxChars) : 0;
    if (!c.holds(1, target, targetIndex, static_cast<ptrdiff_t>(n) + 1, kWriteBeyondString)) return 0;
    return CopyString(target, targetIndex, source, sourceIndex, maxChars);
}

extern "C" int _UP_CompareBytes(const void *buffer1, ptrdiff_t index1, const void *buffer2, ptrdiff_t index2,
                                ptrdiff_t count, int caseSensitive) {
    Checks c;
    if (!c.holds(1, buffer1, index1, count, kReadBeyondArray) || !c.holds(3, buffer2, index2, count, kReadBeyondArray))
        return 0;
    return CompareBytes(buffer1, index1, buffer2, index2, count, caseSensitive);
}

extern "C" int _UP_CompareStrings(const char *string1, ptrdiff_t index1, const char *string2, ptrdiff_t index2,
                                  int caseSensitive) {
    Checks c;
    if (!c.string(1, string1, index1, -1) || !c.string(3, string2, index2, -1)) return 0;
    return CompareStrings(string1, index1, string2, index2, caseSensitive);
}

extern "C" ptrdiff_t _UP_FindPattern(const void *buffer, ptrdiff_t startIndex, ptrdiff_t count, const char *pattern,
                                     int caseSensitive, int startFromRight) {
    Checks c;
    const bool region = count == -1 ? c.string(1, static_cast<const char *>(buffer), startIndex, -1)
                                    : c.holds(1, buffer, startIndex, count, kReadBeyondArray);
    if (!region || !c.string(4, pattern, 0, -1)) return -1;
    return FindPattern(buffer, startIndex, count, pattern, caseSensitive, startFromRight);
}

extern "C" int _UP_StringLength(const char *string) {
    return Checks().string(1, string, 0, -1) ? StringLength(string) : -1;
}

extern "C" void _UP_StringLowerCase(char *string) {
    if (Checks().string(1, string, 0, -1)) StringLowerCase(string);
}

extern "C" void _UP_StringUpperCase(char *string) {
    if (Checks().string(1, string, 0, -1)) StringUpperCase(string);
}
