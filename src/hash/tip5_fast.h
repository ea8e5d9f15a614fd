// The Tip5 permutation in the form the mining kernels run: every loop unrolled, the state in
// registers, lazy reductions, the round constants folded into the MDS layer's one reduction per
// output, the byte S-box read through PRMT from a table the caller places (global memory through the
// read-only cache in the kernels, host memory on the host). Bit-exact with tip5::permutation for
// canonical input, written once for host and device; between its layers the state words are any
// 64-bit values, and the output is canonical.
//
// Three forms, all exact, each for the GPUs whose pipes it suits (scripts/kernel-stats.sh models them):
//   direct - the MDS layer as 16 x 16 products of a 16-bit coefficient and a 32-bit half on the
//            integer multiplier (the previous kernel's form);
//   fp64   - the same products as double-precision fmas, where FP64 runs at the multiplier's rate
//            (sm_80, sm_90, sm_100), leaving the multiplier to the S-box;
//   crt    - where FP64 is slow and the multiplier bounds (sm_86, sm_89, sm_120): the circulant
//            product split by x^16 - 1 = (x - 1)(x + 1)(x^2 + 1)(x^4 + 1)(x^8 + 1) into 86 products
//            on each of three 22-bit limbs instead of 2 x 256, and the reductions' products by
//            2^32 - 1 as shifts on the integer ALU.
// A call site may say what it knows of the state (tip5::Shape): the first round then skips the
// words that enter as 0 or 1, the last the outputs nobody reads.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/field.h"
#include "hash/lazy_field.h"
#include "hash/tip5.h"
#include "hash/tip5_tables.h"

// GCC ignores nvcc's spelling; unrolled, the host also sees every coefficient as a constant.
#if defined(__CUDACC__)
#define TIP5_FAST_UNROLL _Pragma("unroll")
#else
#define TIP5_FAST_UNROLL _Pragma("GCC unroll 16")
#endif

namespace tip5_fast {

using tip5::NUM_ROUNDS;
using tip5::STATE_SIZE;

enum class Mds { direct, fp64, crt };

// What the device code of each architecture runs (see above; scripts/kernel-stats.sh models each).
#if defined(__CUDA_ARCH__) && (__CUDA_ARCH__ == 800 || __CUDA_ARCH__ == 900 || __CUDA_ARCH__ == 1000)
constexpr Mds ARCH_MDS = Mds::fp64;
#else
constexpr Mds ARCH_MDS = Mds::crt;
#endif

template <bool SHIFT = false>
CRV_HD uint64_t power_map(uint64_t x)
{
    const uint64_t x2 = lazy_field::square<SHIFT>(x);
    const uint64_t x4 = lazy_field::square<SHIFT>(x2);
    return lazy_field::mul<SHIFT>(lazy_field::mul<SHIFT>(x4, x2), x);
}

CRV_HD uint32_t lookup_bytes(uint32_t w, const uint8_t* lookup)
{
    using lazy_field::byte_perm;
    const uint32_t b0 = lookup[byte_perm(w, 0, 0x4440)], b1 = lookup[byte_perm(w, 0, 0x4441)];
    const uint32_t b2 = lookup[byte_perm(w, 0, 0x4442)], b3 = lookup[byte_perm(w, 0, 0x4443)];
    return byte_perm(byte_perm(b0, b1, 0x0040), byte_perm(b2, b3, 0x0040), 0x5410);
}

// The published lookup acts on the bytes of the canonical Montgomery form x * 2^64 mod p.
template <bool SHIFT = false>
CRV_HD uint64_t split_and_lookup(uint64_t x, const uint8_t* lookup)
{
    const uint64_t m = lazy_field::to_montgomery<SHIFT>(x);
    const uint64_t w = static_cast<uint64_t>(lookup_bytes(static_cast<uint32_t>(m >> 32), lookup)) << 32 |
                       lookup_bytes(static_cast<uint32_t>(m), lookup);
    return lazy_field::from_montgomery(w);
}

struct Constants {
    uint32_t mds[STATE_SIZE];
    uint64_t round[NUM_ROUNDS * STATE_SIZE];
};

// Compile-time copies: unrolled, every coefficient and round constant becomes an immediate.
CRV_HD constexpr Constants constants()
{
    return Constants{{
#include "hash/mds_coefficients.inc"
                     },
                     {
#include "hash/round_constants.inc"
                     }};
}

// The split circulant product. Level L (16, 8, 4, 2) splits the cyclic product of length L
// (mod x^L - 1) by the CRT into the cyclic one of length h = L/2 on x_lo + x_hi and the negacyclic one
// (mod x^h + 1) on x_lo - x_hi, and joins them as (s + n, s - n) = 2 * result. The negacyclic
// constants carry the factor h, so the result of length L is exactly L times the product; the
// products of every level are schoolbook, 1 + 1 + 4 + 16 + 64 = 86 in all.
namespace crt {

struct Tables {
    int32_t one;  // the cyclic product of length 1: the sum of the coefficients
    int32_t nega1[1][1], nega2[2][2], nega4[4][4], nega8[8][8];
};

template <int H>
CRV_HD constexpr int32_t& nega(Tables& t, int i, int j)
{
    if constexpr (H == 1) return t.nega1[i][j];
    else if constexpr (H == 2) return t.nega2[i][j];
    else if constexpr (H == 4) return t.nega4[i][j];
    else return t.nega8[i][j];
}
template <int H>
CRV_HD constexpr int32_t nega(const Tables& t, int i, int j)
{
    if constexpr (H == 1) return t.nega1[i][j];
    else if constexpr (H == 2) return t.nega2[i][j];
    else if constexpr (H == 4) return t.nega4[i][j];
    else return t.nega8[i][j];
}

// The coefficients of one level: keep the sums for the next, write the negacyclic rows of the
// differences, x^h = -1 folding the terms past the diagonal with a minus sign.
template <int H>
CRV_HD constexpr void split_level(int64_t* a, Tables& t)
{
    int64_t diff[H] = {};
    for (int i = 0; i < H; ++i) {
        diff[i] = a[i] - a[i + H];
        a[i] += a[i + H];
    }
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < H; ++j) nega<H>(t, i, j) = static_cast<int32_t>(H * (j <= i ? diff[i - j] : -diff[H + i - j]));
}

CRV_HD constexpr Tables tables()
{
    const Constants c = constants();
    int64_t a[STATE_SIZE] = {};
    for (int i = 0; i < STATE_SIZE; ++i) a[i] = c.mds[i];
    Tables t{};
    split_level<8>(a, t);
    split_level<4>(a, t);
    split_level<2>(a, t);
    split_level<1>(a, t);
    t.one = static_cast<int32_t>(a[0]);
    return t;
}

// r = H times the negacyclic product of length H of b with that level's coefficients.
template <int H>
CRV_HD void negacyclic(const int32_t* b, int64_t* r)
{
    constexpr Tables t = tables();
    TIP5_FAST_UNROLL
    for (int i = 0; i < H; ++i) {
        int64_t sum = 0;
        TIP5_FAST_UNROLL
        for (int j = 0; j < H; ++j) sum += lazy_field::mul_wide_s32(nega<H>(t, i, j), b[j]);
        r[i] = sum;
    }
}

// r = L times the cyclic product of length L of x with the coefficients of that level. Inputs below
// 2^22 grow by a bit a level, to 2^26; the coefficient rows stay below 2^20 in size.
template <int L>
CRV_HD void cyclic(const int32_t* x, int64_t* r)
{
    if constexpr (L == 1) {
        constexpr Tables t = tables();
        r[0] = lazy_field::mul_wide_s32(t.one, x[0]);
    } else {
        constexpr int H = L / 2;
        int32_t sum[H], diff[H];
        TIP5_FAST_UNROLL
        for (int i = 0; i < H; ++i) {
            sum[i] = x[i] + x[i + H];
            diff[i] = x[i] - x[i + H];
        }
        int64_t s[H], n[H];
        cyclic<H>(sum, s);
        negacyclic<H>(diff, n);
        TIP5_FAST_UNROLL
        for (int i = 0; i < H; ++i) {
            r[i] = s[i] + n[i];
            r[i + H] = s[i] - n[i];
        }
    }
}

}  // namespace crt

// lo + hi * 2^32 + rc mod p as a word below 2^64, for lo < 2^64 and hi < 2^53:
// lo + rc + hi*2^32 = low + w2*2^64 = low + w2*(2^32-1)  (mod p), w2 < 2^22: one unsigned fold.
template <bool SHIFT = false>
CRV_HD uint64_t mds_output(uint64_t lo, uint64_t hi, uint64_t rc)
{
    using lazy_field::times_epsilon;
    using lazy_field::U128;
    const U128 a = static_cast<U128>(lo) + rc;
    const uint64_t w1 = static_cast<uint64_t>(a >> 32) + static_cast<uint32_t>(hi);
    const uint64_t w2 = (hi >> 32) + (w1 >> 32);
    const U128 sum = static_cast<U128>((w1 << 32) | static_cast<uint32_t>(a)) + times_epsilon<SHIFT>(static_cast<uint32_t>(w2));
    return static_cast<uint64_t>(sum) + times_epsilon<SHIFT>(static_cast<uint32_t>(sum >> 64));
}

constexpr uint32_t ALL_WORDS = 0xFFFF;

CRV_HD constexpr bool has(uint32_t mask, int i) { return ((mask >> i) & 1) != 0; }

// v[i] = rc[i] + sum over the columns j in COLUMNS of mds[i-j] * u[j], for the outputs i in OUTPUTS.
// With u[j] = hi_j*2^32 + lo_j every product of a 16-bit coefficient and a 32-bit half is exact, and
// 16 of them stay below 2^53. The split product makes every output from every column; with fewer
// the direct form runs instead.
template <Mds M, uint32_t COLUMNS = ALL_WORDS, uint32_t OUTPUTS = ALL_WORDS>
CRV_HD void mds_layer(const uint64_t* u, uint64_t* v, const uint64_t* rc)
{
    constexpr Constants c = constants();
    constexpr Mds FORM = M == Mds::crt && (COLUMNS != ALL_WORDS || OUTPUTS != ALL_WORDS) ? Mds::direct : M;
    if constexpr (FORM == Mds::direct) {
        using lazy_field::mul_wide32;
        TIP5_FAST_UNROLL
        for (int i = 0; i < STATE_SIZE; ++i) {
            if (!has(OUTPUTS, i)) continue;
            uint64_t lo = 0, hi = 0;
            TIP5_FAST_UNROLL
            for (int j = 0; j < STATE_SIZE; ++j) {
                if (!has(COLUMNS, j)) continue;
                const uint32_t coefficient = c.mds[(i - j) & (STATE_SIZE - 1)];
                lo += mul_wide32(coefficient, static_cast<uint32_t>(u[j]));
                hi += mul_wide32(coefficient, static_cast<uint32_t>(u[j] >> 32));
            }
            v[i] = mds_output<M == Mds::crt>(lo, hi, rc[i]);
        }
    } else if constexpr (FORM == Mds::fp64) {
        // Sums start at 2^52 and stay below 2^53 (the coefficients sum to less than 2^20), where a
        // double holds every integer exactly and its low 52 bits are the sum. Column by column, so
        // that only one input's halves are live beside the sums.
        constexpr double TWO_52 = 4503599627370496.0;
        double lo[STATE_SIZE], hi[STATE_SIZE];
        TIP5_FAST_UNROLL
        for (int i = 0; i < STATE_SIZE; ++i) lo[i] = hi[i] = TWO_52;
        TIP5_FAST_UNROLL
        for (int j = 0; j < STATE_SIZE; ++j) {
            if (!has(COLUMNS, j)) continue;
            const double lo_half = lazy_field::exact_double(static_cast<uint32_t>(u[j]));
            const double hi_half = lazy_field::exact_double(static_cast<uint32_t>(u[j] >> 32));
            TIP5_FAST_UNROLL
            for (int i = 0; i < STATE_SIZE; ++i) {
                if (!has(OUTPUTS, i)) continue;
                const double coefficient = c.mds[(i - j) & (STATE_SIZE - 1)];
                lo[i] = lazy_field::fma(coefficient, lo_half, lo[i]);
                hi[i] = lazy_field::fma(coefficient, hi_half, hi[i]);
            }
        }
        TIP5_FAST_UNROLL
        for (int i = 0; i < STATE_SIZE; ++i)
            if (has(OUTPUTS, i))
                v[i] = mds_output<false>(lazy_field::bits_of(lo[i]) - lazy_field::bits_of(TWO_52),
                                  lazy_field::bits_of(hi[i]) - lazy_field::bits_of(TWO_52), rc[i]);
    } else {
        int32_t limbs[3][STATE_SIZE];
        TIP5_FAST_UNROLL
        for (int j = 0; j < STATE_SIZE; ++j) {
            limbs[0][j] = static_cast<int32_t>(u[j] & 0x3FFFFF);
            limbs[1][j] = static_cast<int32_t>((u[j] >> 22) & 0x1FFFFF);
            limbs[2][j] = static_cast<int32_t>(u[j] >> 43);
        }
        int64_t y[3][STATE_SIZE];
        TIP5_FAST_UNROLL
        for (int k = 0; k < 3; ++k) crt::cyclic<STATE_SIZE>(limbs[k], y[k]);
        // y = 16 times each limb's product: u = l0 + l1*2^22 + l2*2^43 gives lo + hi*2^32 with
        // lo = y0/16 + y1*2^18 and hi = y2*2^7.
        TIP5_FAST_UNROLL
        for (int i = 0; i < STATE_SIZE; ++i)
            v[i] = mds_output<true>((static_cast<uint64_t>(y[0][i]) >> 4) + (static_cast<uint64_t>(y[1][i]) << 18),
                              static_cast<uint64_t>(y[2][i]) << 7, rc[i]);
    }
}

// The whole layer of one round: every column, every output, that round's constants.
template <Mds M>
CRV_HD void mds_and_constants(const uint64_t* u, uint64_t* v, int round)
{
    constexpr Constants c = constants();
    mds_layer<M>(u, v, c.round + STATE_SIZE * round);
}

// (a + b) mod p for a < p and any b below 2^32, at compile time.
CRV_HD constexpr uint64_t add_small(uint64_t a, uint64_t b)
{
    return a >= field::P - b ? a - (field::P - b) : a + b;
}

// The first round's constants of a shape: round 0's, plus the products of the words that enter as
// 1 (the S-box keeps 0 and 1).
template <tip5::Shape S>
struct FirstRound {
    uint64_t rc[STATE_SIZE];
};
template <tip5::Shape S>
CRV_HD constexpr FirstRound<S> first_round()
{
    constexpr tip5::ShapeWords w = tip5::shape_words(S);
    const Constants c = constants();
    FirstRound<S> f{};
    for (int i = 0; i < STATE_SIZE; ++i) {
        f.rc[i] = c.round[i];
        for (int j = 0; j < STATE_SIZE; ++j)
            if (has(w.one_in, j)) f.rc[i] = add_small(f.rc[i], c.mds[(i - j) & (STATE_SIZE - 1)]);
    }
    return f;
}

template <bool SHIFT>
CRV_HD uint64_t sbox(int i, uint64_t x, const uint8_t* lookup)
{
    return i < 4 ? split_and_lookup<SHIFT>(x, lookup) : power_map<SHIFT>(x);
}

// The permutation at a call site of shape S (tip5::Shape): the known words' S-box and products
// skipped in the first round, the outputs nobody reads left out of the last.
template <Mds M = ARCH_MDS, tip5::Shape S = tip5::Shape::full>
CRV_HD void permutation(uint64_t* state, const uint8_t* lookup)
{
    constexpr tip5::ShapeWords w = tip5::shape_words(S);
    constexpr uint32_t KNOWN = w.zero_in | w.one_in;
    constexpr bool SHIFT = M == Mds::crt;
    constexpr Constants c = constants();
    uint64_t s[STATE_SIZE];
    TIP5_FAST_UNROLL
    for (int i = 0; i < STATE_SIZE; ++i) s[i] = has(KNOWN, i) ? 0 : state[i];
    TIP5_FAST_UNROLL
    for (int round = 0; round < NUM_ROUNDS; ++round) {
        const bool first = round == 0, last = round == NUM_ROUNDS - 1;
        uint64_t u[STATE_SIZE];
        TIP5_FAST_UNROLL
        for (int i = 0; i < STATE_SIZE; ++i) u[i] = first && has(KNOWN, i) ? 0 : sbox<SHIFT>(i, s[i], lookup);
        if (first && KNOWN != 0) {
            constexpr FirstRound<S> f = first_round<S>();
            mds_layer<M, ALL_WORDS & ~KNOWN>(u, s, f.rc);
        } else if (last && w.out != ALL_WORDS) {
            mds_layer<M, ALL_WORDS, w.out>(u, s, c.round + STATE_SIZE * round);
        } else {
            mds_layer<M>(u, s, c.round + STATE_SIZE * round);
        }
    }
    TIP5_FAST_UNROLL
    for (int i = 0; i < STATE_SIZE; ++i)
        if (has(w.out, i)) state[i] = lazy_field::canonical(s[i]);
}

// The permutation as the hashing templates take it, with the byte table it reads.
template <Mds M = ARCH_MDS>
struct Permutation {
    const uint8_t* lookup;
    CRV_HD void operator()(uint64_t* state) const { permutation<M>(state, lookup); }
    template <tip5::Shape S>
    CRV_HD void shaped(uint64_t* state) const
    {
        permutation<M, S>(state, lookup);
    }
};

}  // namespace tip5_fast
