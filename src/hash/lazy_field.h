// Goldilocks arithmetic for the fast permutation: values are any 64-bit words, standing for their
// residue mod p, so results need no final subtraction of p until they leave the permutation. Written
// once for host and device; the device-only forms (mul.wide, PRMT, the bits of a double, fma) have host
// twins beside them.
#pragma once

#include <cstdint>
#include <cstring>

#include "gpu/runtime.h"
#include "hash/field.h"

namespace lazy_field {

using U128 = unsigned __int128;  // nvcc lowers its additions to carry chains, with no compares

constexpr uint64_t EPSILON = field::EPSILON;  // 2^64 = 2^32 - 1 (mod p)

// The full product of two 32-bit words. Left to itself nvcc widens the operands and multiplies in
// 64 bits; stated as mul.wide, ptxas fuses it with the add that follows into one IMAD.WIDE.
CRV_HD uint64_t mul_wide32(uint32_t a, uint32_t b)
{
#if defined(__CUDA_ARCH__)
    uint64_t r;
    asm("mul.wide.u32 %0, %1, %2;" : "=l"(r) : "r"(a), "r"(b));
    return r;
#else
    return static_cast<uint64_t>(a) * b;
#endif
}

// Byte n of the result is byte selector[n] (low three bits of nibble n) of the eight bytes y:x.
CRV_HD uint32_t byte_perm(uint32_t x, uint32_t y, uint32_t selector)
{
#if defined(__CUDA_ARCH__)
    return __byte_perm(x, y, selector);
#else
    const uint64_t bytes = static_cast<uint64_t>(y) << 32 | x;
    auto pick = [&](int n) { return static_cast<uint32_t>(bytes >> (8 * ((selector >> (4 * n)) & 7))) & 0xFFu; };
    return pick(0) | pick(1) << 8 | pick(2) << 16 | pick(3) << 24;
#endif
}

// v + c * 2^64 for c = -1, 0 or 1 taken from the top word of v: adds c * (2^32 - 1).
CRV_HD uint64_t fold_signed(U128 v)
{
    const int32_t c = static_cast<int32_t>(static_cast<uint64_t>(v >> 64));
    return static_cast<uint64_t>(v) + static_cast<uint64_t>(static_cast<int64_t>(c)) * EPSILON;
}

// x * (2^32 - 1): on the multiplier (one IMAD.WIDE with the add that follows), or with SHIFT as
// x * 2^32 - x on the integer ALU, for GPUs whose multiplier is their bottleneck.
template <bool SHIFT = false>
CRV_HD uint64_t times_epsilon(uint32_t x)
{
    if constexpr (SHIFT) {
#if defined(__CUDA_ARCH__)
        // Spelt out in PTX: written in C++, the compiler folds the shift and subtraction back into
        // a multiply.
        uint32_t lo, hi;
        asm("sub.cc.u32 %0, 0, %2;\n\tsubc.u32 %1, %2, 0;" : "=r"(lo), "=r"(hi) : "r"(x));
        return static_cast<uint64_t>(hi) << 32 | lo;
#else
        return (static_cast<uint64_t>(x) << 32) - x;
#endif
    } else {
        return mul_wide32(x, 0xFFFFFFFFu);
    }
}

// x = lo + h0*2^64 + h1*2^96 = lo + h0*(2^32-1) - h1  (mod p) for hi = h1*2^32 + h0. The sum lies in
// (-2^32, 2^65); after its one fold it lies in [0, 2^64).
template <bool SHIFT = false>
CRV_HD uint64_t reduce128(uint64_t lo, uint64_t hi)
{
    return fold_signed(static_cast<U128>(lo) + times_epsilon<SHIFT>(static_cast<uint32_t>(hi)) - (hi >> 32));
}

// x - p when that does not borrow, that is when x + (2^32-1) carries out of 64 bits.
CRV_HD uint64_t canonical(uint64_t x)
{
    const U128 t = static_cast<U128>(x) + EPSILON;
    return (t >> 64) != 0 ? static_cast<uint64_t>(t) : x;
}

template <bool SHIFT = false>
CRV_HD uint64_t mul(uint64_t a, uint64_t b)
{
    const U128 x = static_cast<U128>(a) * b;
    return reduce128<SHIFT>(static_cast<uint64_t>(x), static_cast<uint64_t>(x >> 64));
}

// The cross product a_lo * a_hi formed once.
template <bool SHIFT = false>
CRV_HD uint64_t square(uint64_t a)
{
    const uint32_t a0 = static_cast<uint32_t>(a), a1 = static_cast<uint32_t>(a >> 32);
    const U128 x = (static_cast<U128>(mul_wide32(a1, a1)) << 64) + mul_wide32(a0, a0) +
                   (static_cast<U128>(mul_wide32(a0, a1)) << 33);
    return reduce128<SHIFT>(static_cast<uint64_t>(x), static_cast<uint64_t>(x >> 64));
}

// Canonical x * 2^64 mod p: x*2^64 = x_hi*2^64 + x_lo*2^32 - x = x_hi*(2^32-1) + x_lo*2^32 - x.
template <bool SHIFT = false>
CRV_HD uint64_t to_montgomery(uint64_t x)
{
    return canonical(fold_signed(static_cast<U128>(x << 32) + times_epsilon<SHIFT>(static_cast<uint32_t>(x >> 32)) - x));
}

// w * 2^-64 = -w * 2^32 (mod p), computed as p + w_hi + s_hi - (s_lo + s_hi)*2^32 with s = w_lo + w_hi:
// that value lies in [0, p] for every w, so wrapping arithmetic gives it exactly.
CRV_HD uint64_t from_montgomery(uint64_t w)
{
    const uint64_t s = (w & 0xFFFFFFFFull) + (w >> 32);
    const uint64_t s_hi = s >> 32;
    return field::P + (w >> 32) + s_hi - (((s & 0xFFFFFFFFull) + s_hi) << 32);
}

// The full product of two signed 32-bit words, fused by ptxas with the add that follows (IMAD.WIDE).
CRV_HD int64_t mul_wide_s32(int32_t a, int32_t b)
{
#if defined(__CUDA_ARCH__)
    int64_t r;
    asm("mul.wide.s32 %0, %1, %2;" : "=l"(r) : "r"(a), "r"(b));
    return r;
#else
    return static_cast<int64_t>(a) * b;
#endif
}

CRV_HD uint64_t bits_of(double x)
{
#if defined(__CUDA_ARCH__)
    return static_cast<uint64_t>(__double_as_longlong(x));
#else
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
#endif
}

CRV_HD double double_of(uint64_t bits)
{
#if defined(__CUDA_ARCH__)
    return __longlong_as_double(static_cast<long long>(bits));
#else
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
#endif
}

// x as a double without a conversion instruction: the double with exponent 52 and mantissa x is
// 2^52 + x, one subtraction from x.
CRV_HD double exact_double(uint32_t x)
{
    return double_of(0x4330000000000000ull | x) - 4503599627370496.0;
}

// a * b + c where every product and sum is an integer below 2^53: exact fused or not, so the host
// needs no fma instruction.
CRV_HD double fma(double a, double b, double c)
{
#if defined(__CUDA_ARCH__)
    return __fma_rn(a, b, c);
#else
    return a * b + c;
#endif
}

}  // namespace lazy_field
