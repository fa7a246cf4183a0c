// Fixed-capacity unsigned big integers for the exact number conversions of
// the C library, on the stack, no heap, no shared state: BigUnsigned with
// 32-bit limbs, WideUnsigned with 64-bit limbs and 128-bit products. The
// capacity is chosen by each user from its worst case; an operation whose
// result would not fit drops the high limbs, so users static_assert room.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace kez::clib {

// 10^0 ... 10^19, the powers of ten a 64-bit limb holds.
inline constexpr std::array<uint64_t, 20> kPow10 = [] {
    std::array<uint64_t, 20> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}();

template <int Limbs>
struct BigUnsigned {
    static constexpr int kLimbs = Limbs;
    uint32_t w[Limbs];
    int n = 0;  // limbs in use; w[n-1] != 0 when n > 0

    bool is_zero() const { return n == 0; }
    void set(uint64_t v) {
        n = 0;
        while (v != 0) {
            w[n++] = static_cast<uint32_t>(v);
            v >>= 32;
        }
    }
    void copy_from(const BigUnsigned &o) {
        n = o.n;
        std::memcpy(w, o.w, sizeof(uint32_t) * static_cast<size_t>(n));
    }
    // this = this * m + a
    void mul_add(uint32_t m, uint32_t a) {
        uint64_t carry = a;
        for (int i = 0; i < n; ++i) {
            const uint64_t t = uint64_t{w[i]} * m + carry;
            w[i] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        if (carry != 0 && n < Limbs) w[n++] = static_cast<uint32_t>(carry);
    }
    void mul_pow5(int64_t k) {
        for (; k >= 13; k -= 13) mul_add(1220703125u, 0);  // 5^13
        uint32_t p = 1;
        for (; k > 0; --k) p *= 5;
        if (p != 1) mul_add(p, 0);
    }
    void mul_pow10(int64_t k) {
        for (; k >= 9; k -= 9) mul_add(1000000000u, 0);
        uint32_t p = 1;
        for (; k > 0; --k) p *= 10;
        if (p != 1) mul_add(p, 0);
    }
    // this = this * v, v below 2^64
    void mul_u64(uint64_t v) {
        const uint32_t lo = static_cast<uint32_t>(v), hi = static_cast<uint32_t>(v >> 32);
        if (hi == 0) {
            mul_add(lo, 0);
            return;
        }
        uint32_t out[Limbs + 2] = {};
        for (int i = 0; i < n; ++i) {
            uint64_t t = uint64_t{w[i]} * lo + out[i];
            out[i] = static_cast<uint32_t>(t);
            t = uint64_t{w[i]} * hi + out[i + 1] + (t >> 32);
            out[i + 1] = static_cast<uint32_t>(t);
            out[i + 2] = static_cast<uint32_t>(t >> 32);
        }
        int m = n + 2;
        while (m > 0 && out[m - 1] == 0) --m;
        n = m < Limbs ? m : Limbs;
        std::memcpy(w, out, sizeof(uint32_t) * static_cast<size_t>(n));
    }
    void shift_left(int64_t bits) {
        if (n == 0 || bits <= 0) return;
        const int limbs = static_cast<int>(bits / 32), b = static_cast<int>(bits % 32);
        if (b != 0) {
            uint32_t carry = 0;
            for (int i = 0; i < n; ++i) {
                const uint32_t x = w[i];
                w[i] = (x << b) | carry;
                carry = x >> (32 - b);
            }
            if (carry != 0 && n < Limbs) w[n++] = carry;
        }
        if (limbs != 0 && n + limbs <= Limbs) {
            std::memmove(w + limbs, w, sizeof(uint32_t) * static_cast<size_t>(n));
            std::memset(w, 0, sizeof(uint32_t) * static_cast<size_t>(limbs));
            n += limbs;
        }
    }
    // this = this - q * o, for a small q and a result that is not negative.
    void sub_mul(const BigUnsigned &o, uint32_t q) {
        uint64_t carry = 0;
        int64_t borrow = 0;
        for (int i = 0; i < n; ++i) {
            uint64_t p = carry;
            if (i < o.n) p += uint64_t{o.w[i]} * q;
            carry = p >> 32;
            const int64_t t = int64_t{w[i]} - static_cast<int64_t>(static_cast<uint32_t>(p)) + borrow;
            w[i] = static_cast<uint32_t>(t);
            borrow = t < 0 ? -1 : 0;
            if (i >= o.n && carry == 0 && borrow == 0) break;
        }
        while (n > 0 && w[n - 1] == 0) --n;
    }
    int64_t bit_length() const {
        if (n == 0) return 0;
        int top = 0;
        for (uint32_t x = w[n - 1]; x != 0; x >>= 1) ++top;
        return int64_t{32} * (n - 1) + top;
    }
    // Bits shift .. shift + 63 as a number.
    uint64_t bits_from(int64_t shift) const {
        const int l = static_cast<int>(shift / 32), b = static_cast<int>(shift % 32);
        const auto limb = [&](int i) { return i < n ? uint64_t{w[i]} : 0; };
        const uint64_t low = limb(l) | (limb(l + 1) << 32);
        return b == 0 ? low : (low >> b) | (limb(l + 2) << (64 - b));
    }
    // The leading bits as a double, and the power of two they stand for.
    double leading(int64_t &scale) const {
        const int64_t len = bit_length();
        scale = 0;
        if (len <= 64) {
            uint64_t v = 0;
            for (int i = n - 1; i >= 0; --i) v = (v << 32) | w[i];
            return static_cast<double>(v);
        }
        scale = len - 64;
        const int excess = static_cast<int>(32 * int64_t{n} - len);  // leading zero bits of the top limb
        const uint64_t hi = w[n - 1], mid = w[n - 2], lo = w[n - 3];
        const uint64_t v = (hi << (32 + excess)) | (mid << excess) | (excess != 0 ? lo >> (32 - excess) : 0);
        return static_cast<double>(v);
    }
};

template <int Limbs>
int compare(const BigUnsigned<Limbs> &a, const BigUnsigned<Limbs> &b) {
    if (a.n != b.n) return a.n < b.n ? -1 : 1;
    for (int i = a.n - 1; i >= 0; --i)
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    return 0;
}

// 64-bit limbs; the limbs at n and above are not kept zero (nothing reads
// them), so a number costs nothing to start.
template <int Limbs>
struct WideUnsigned {
    static constexpr int kLimbs = Limbs;
    uint64_t w[Limbs];
    int n = 0;  // limbs in use; w[n-1] != 0 when n > 0

    void set(uint64_t v) {
        w[0] = v;
        n = v != 0 ? 1 : 0;
    }
    // this = this * m + a
    void mul_add(uint64_t m, uint64_t a) {
        unsigned __int128 carry = a;
        for (int i = 0; i < n; ++i) {
            const unsigned __int128 t = static_cast<unsigned __int128>(w[i]) * m + carry;
            w[i] = static_cast<uint64_t>(t);
            carry = t >> 64;
        }
        if (carry != 0 && n < Limbs) w[n++] = static_cast<uint64_t>(carry);
    }
    // out = this * m (out not this)
    void mul_into(uint64_t m, WideUnsigned &out) const {
        uint64_t carry = 0;
        for (int i = 0; i < n; ++i) {
            const unsigned __int128 t = static_cast<unsigned __int128>(w[i]) * m + carry;
            out.w[i] = static_cast<uint64_t>(t);
            carry = static_cast<uint64_t>(t >> 64);
        }
        out.n = n;
        if (carry != 0 && n < Limbs) out.w[out.n++] = carry;
        if (m == 0) out.n = 0;
    }
    void mul_pow5(int64_t k) {
        constexpr uint64_t kPow5_27 = 7450580596923828125ull;  // the largest power of five below 2^64
        for (; k >= 27; k -= 27) mul_add(kPow5_27, 0);
        uint64_t p = 1;
        for (; k > 0; --k) p *= 5;
        if (p != 1) mul_add(p, 0);
    }
    int64_t bit_length() const { return n == 0 ? 0 : int64_t{64} * n - __builtin_clzll(w[n - 1]); }
    // The leading 64 bits as a double, and the power of two they stand for.
    double leading(int64_t &scale) const {
        scale = 0;
        if (n == 0) return 0.0;
        const int lz = __builtin_clzll(w[n - 1]);
        uint64_t top = w[n - 1] << lz;
        if (lz != 0 && n > 1) top |= w[n - 2] >> (64 - lz);
        scale = bit_length() - 64;
        return static_cast<double>(top);
    }
};

// Sign of a * 2^s - b, for s >= 0, without forming the shifted number.
template <int Limbs>
int compare_shifted(const WideUnsigned<Limbs> &a, int64_t s, const WideUnsigned<Limbs> &b) {
    if (a.n == 0 || b.n == 0) return (a.n != 0) - (b.n != 0);
    const int64_t la = a.bit_length() + s, lb = b.bit_length();
    if (la != lb) return la < lb ? -1 : 1;
    // Equal lengths: a * 2^s has b.n limbs; limb i of it comes from limbs
    // i - whole and i - whole - 1 of a.
    const int whole = static_cast<int>(s / 64), bits = static_cast<int>(s % 64);
    for (int i = b.n - 1; i >= 0; --i) {
        const int j = i - whole;
        uint64_t x = j >= 0 && j < a.n ? a.w[j] << bits : 0;
        if (bits != 0 && j >= 1 && j - 1 < a.n) x |= a.w[j - 1] >> (64 - bits);
        if (x != b.w[i]) return x < b.w[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace kez::clib
