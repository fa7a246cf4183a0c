// stdlib.h: integer arithmetic, rand, bsearch and the environment.
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "clib/clib_library.h"
#include "clib/clib_string_exports.h"
#include "os/os.h"

namespace {

// Negation and division in unsigned arithmetic: the one result that does
// not fit (the minimum negated) wraps to the minimum instead of trapping.
template <class T>
T wrapping_abs(T n) {
    using U = std::make_unsigned_t<T>;
    return n < 0 ? static_cast<T>(U{0} - static_cast<U>(n)) : n;
}

template <class R, class T>
R divide(T numer, T denom) {
    if (denom == -1)
        return R{static_cast<T>(std::make_unsigned_t<T>{0} - static_cast<std::make_unsigned_t<T>>(numer)), 0};
    return R{static_cast<T>(numer / denom), static_cast<T>(numer % denom)};
}

// getenv's values: every distinct value given out for a name is kept until
// the process ends, so a pointer stays valid whatever other threads set or
// read. Memory grows only with the number of distinct values read.
struct EnvironmentCache {
    std::mutex lock;
    std::map<std::string, std::list<std::string>> values;
};

EnvironmentCache &environment_cache() {
    static auto *cache = new EnvironmentCache;  // never destroyed: pointers outlive static clean-up
    return *cache;
}

// Windows limits a variable's value to 32767 characters.
constexpr std::size_t kMaxValue = 32768;

}  // namespace

extern "C" int kez_abs(int n) { return wrapping_abs(n); }
extern "C" long kez_labs(long n) { return wrapping_abs(n); }
extern "C" long long kez_llabs(long long n) { return wrapping_abs(n); }
extern "C" long long Kez_llabs(long long n) { return wrapping_abs(n); }
extern "C" KezDiv kez_div(int numer, int denom) { return divide<KezDiv>(numer, denom); }
extern "C" KezLDiv kez_ldiv(long numer, long denom) { return divide<KezLDiv>(numer, denom); }
extern "C" KezLLDiv kez_lldiv(long long numer, long long denom) { return divide<KezLLDiv>(numer, denom); }
extern "C" KezLLDiv Kez_lldiv(long long numer, long long denom) { return divide<KezLLDiv>(numer, denom); }

// The generator: state = state * 1103515245 + 12345 (32 bits), giving bits
// 16 to 30. A thread that never seeded starts from 1, and seed 0 becomes 1.
extern "C" void kez_srand(unsigned int seed) {
    kez::clib::RandState *s = kez::clib::rand_state();
    s->value = seed != 0 ? seed : 1u;
    s->seeded = true;
}

extern "C" int kez_rand(void) {
    kez::clib::RandState *s = kez::clib::rand_state();
    if (!s->seeded) {
        s->value = 1;
        s->seeded = true;
    }
    s->value = static_cast<unsigned>(static_cast<std::uint32_t>(s->value) * 1103515245u + 12345u);
    return static_cast<int>((s->value >> 16) & 32767u);
}

extern "C" void *kez_bsearch(const void *key, const void *base, size_t count, size_t size,
                             int (*compare)(const void *, const void *)) {
    const char *first = static_cast<const char *>(base);
    while (count > 0) {
        const size_t half = count / 2;
        const char *middle = first + half * size;
        const int order = compare(key, middle);
        if (order == 0) return const_cast<char *>(middle);
        if (order > 0) {
            first = middle + size;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return nullptr;
}

extern "C" char *kez_getenv(const char *name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) return nullptr;
    std::vector<char> buffer(256);
    while (!kez::os::env_get(name, buffer.data(), buffer.size())) {
        if (buffer.size() >= kMaxValue) return nullptr;  // not set
        buffer.resize(buffer.size() * 4 < kMaxValue ? buffer.size() * 4 : kMaxValue);
    }
    EnvironmentCache &cache = environment_cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    std::list<std::string> &kept = cache.values[name];
    for (std::string &value : kept) {
        if (std::strcmp(value.c_str(), buffer.data()) == 0) return value.data();
    }
    kept.emplace_back(buffer.data());
    return kept.back().data();
}

extern "C" int kez_putenv(const char *setting) {
    const char *equals = setting != nullptr ? std::strchr(setting, '=') : nullptr;
    if (equals == nullptr || equals == setting) {
        kez::clib::set_errno(kez::clib::kEINVAL);
        return -1;
    }
    const std::string name(setting, equals);
    const char *value = equals[1] != '\0' ? equals + 1 : nullptr;
    // Removing a variable that is not set succeeds.
    if (!kez::os::env_set(name.c_str(), value) && value != nullptr) {
        kez::clib::set_errno(kez::clib::kENOMEM);
        return -1;
    }
    return 0;
}

extern "C" int Kez__putenv(const char *setting) { return kez_putenv(setting); }
