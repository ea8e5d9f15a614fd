// Independent reference arithmetic for the field tests: plain 128-bit remainders.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "hash/field.h"

namespace reference {

using u128 = unsigned __int128;

inline uint64_t mod(u128 x)
{
    return static_cast<uint64_t>(x % field::P);
}
inline uint64_t mul(uint64_t a, uint64_t b)
{
    return mod(static_cast<u128>(a) * b);
}
inline uint64_t add(uint64_t a, uint64_t b)
{
    return mod(static_cast<u128>(a) + b);
}
inline uint64_t pow(uint64_t x, unsigned e)
{
    uint64_t r = 1;
    for (unsigned i = 0; i < e; ++i) r = mul(r, x);
    return r;
}
// x * 2^-64 mod p; 2^-64 = 2^128 (mod p) because 2^192 = 1.
inline uint64_t mont_reduce(uint64_t lo, uint64_t hi)
{
    return mul(mod((static_cast<u128>(hi) << 64) | lo), field::R2_MOD_P);
}

// Values where carries, borrows and the reduction branches turn.
inline std::vector<uint64_t> edge_values()
{
    const uint64_t p = field::P;
    return {0,
            1,
            2,
            0xFFFFFFFFull,
            0x100000000ull,
            0x100000001ull,
            1ull << 63,
            (1ull << 63) + 1,
            p - 2,
            p - 1,
            0xFFFFFFFF00000000ull,
            0x00000000FFFFFFFEull,
            0x8000000080000000ull,
            0xFFFFFFFE00000001ull};
}

inline std::vector<uint64_t> random_canonical(size_t n, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> v(n);
    for (auto& x : v) x = rng() % field::P;
    return v;
}

}  // namespace reference
