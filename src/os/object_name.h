// Names of named system objects: a name too long for the system is replaced
// by a 128-bit hash of it, the same way on every platform.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kez::os {

inline std::uint64_t fnv1a64(const char *s, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (; *s != '\0'; ++s) {
        h ^= static_cast<unsigned char>(*s);
        h *= 1099511628211ull;
    }
    return h;
}

// Writes "<prefix>kez-<32 hex digits>" for `name`.
inline void hashed_object_name(const char *prefix, const char *name, char *out, std::size_t size) {
    std::snprintf(out, size, "%skez-%016llx%016llx", prefix,
                  static_cast<unsigned long long>(fnv1a64(name, 14695981039346656037ull)),
                  static_cast<unsigned long long>(fnv1a64(name, 0x9E3779B97F4A7C15ull)));
}

}  // namespace kez::os
