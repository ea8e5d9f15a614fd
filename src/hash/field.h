// Goldilocks field arithmetic, p = 2^64 - 2^32 + 1, on canonical 64-bit values.
// Written once for host and device; the only place the two compilers differ is the
// 64x64->128 multiply.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"

namespace field {

constexpr uint64_t P = 0xFFFFFFFF00000001ull;
constexpr uint64_t EPSILON = 0xFFFFFFFFull;             // 2^64 mod p
constexpr uint64_t R2_MOD_P = 0xFFFFFFFE00000001ull;    // 2^128 mod p: mont_mul by it enters Montgomery form

struct U128 {
    uint64_t lo;
    uint64_t hi;
};

CRV_HD U128 mul_wide(uint64_t a, uint64_t b)
{
#if defined(__CUDA_ARCH__)
    return U128{a * b, __umul64hi(a, b)};
#else
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return U128{static_cast<uint64_t>(product), static_cast<uint64_t>(product >> 64)};
#endif
}

CRV_HD uint64_t add(uint64_t a, uint64_t b)
{
    uint64_t s = a + b;
    // a carry out of 64 bits, or a sum of p or more: subtract p by adding 2^32 - 1 (mod 2^64)
    if (s < a || s > 0xFFFFFFFF00000000ull) s += EPSILON;
    return s;
}

// x * 2^-64 mod p for x = hi * 2^64 + lo.
CRV_HD uint64_t mont_reduce(uint64_t lo, uint64_t hi)
{
    uint64_t shifted = lo << 32;
    uint64_t a = lo + shifted;
    uint64_t e = (a < shifted || a < lo) ? 1 : 0;
    uint64_t b = a - (a >> 32) - e;
    uint64_t r = hi - b;
    if (hi < b) r += P;
    return r;
}

CRV_HD uint64_t mont_mul(uint64_t a, uint64_t b)
{
    U128 x = mul_wide(a, b);
    return mont_reduce(x.lo, x.hi);
}

// x = lo + hi * 2^64 = lo + hi * (2^32 - 1)  (mod p); a second fold handles the carry.
CRV_HD uint64_t reduce128(uint64_t lo, uint64_t hi)
{
    U128 t = mul_wide(hi, EPSILON);
    uint64_t t_lo = lo + t.lo;
    uint64_t t_hi = t.hi + (t_lo < lo ? 1 : 0);
    if (t_hi != 0) t_lo += t_hi * EPSILON;
    // The accumulators that occur stay below 2^84: at most one subtraction of p remains.
    while (t_lo > 0xFFFFFFFF00000000ull) t_lo += EPSILON;
    return t_lo;
}

}  // namespace field
