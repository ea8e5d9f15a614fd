// The Tip5 permutation in the form the mining kernels run: every loop unrolled, the state in
// registers, lazy reductions, the MDS matrix on 32-bit halves with the round constants folded into
// its one reduction per output, the byte S-box read through PRMT from a table the caller places
// (global memory through the read-only cache in the kernels, host memory on the host). Bit-exact with
// tip5::permutation for canonical input, written once for host and device; between its layers the
// state words are any 64-bit values, and the output is canonical.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/lazy_field.h"
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

CRV_HD uint64_t power_map(uint64_t x)
{
    const uint64_t x2 = lazy_field::square(x);
    const uint64_t x4 = lazy_field::square(x2);
    return lazy_field::mul(lazy_field::mul(x4, x2), x);
}

CRV_HD uint32_t lookup_bytes(uint32_t w, const uint8_t* lookup)
{
    using lazy_field::byte_perm;
    const uint32_t b0 = lookup[byte_perm(w, 0, 0x4440)], b1 = lookup[byte_perm(w, 0, 0x4441)];
    const uint32_t b2 = lookup[byte_perm(w, 0, 0x4442)], b3 = lookup[byte_perm(w, 0, 0x4443)];
    return byte_perm(byte_perm(b0, b1, 0x0040), byte_perm(b2, b3, 0x0040), 0x5410);
}

// The published lookup acts on the bytes of the canonical Montgomery form x * 2^64 mod p.
CRV_HD uint64_t split_and_lookup(uint64_t x, const uint8_t* lookup)
{
    const uint64_t m = lazy_field::to_montgomery(x);
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

// v[i] = rc[i] + sum_j mds[i-j] * u[j]. With u[j] = hi_j*2^32 + lo_j every product of a 16-bit
// coefficient and a 32-bit half is exact, and 16 of them stay below 2^53 in a 64-bit accumulator.
CRV_HD void mds_and_constants(const uint64_t* u, uint64_t* v, int round)
{
    using lazy_field::mul_wide32;
    using lazy_field::U128;
    constexpr Constants c = constants();
    TIP5_FAST_UNROLL
    for (int i = 0; i < STATE_SIZE; ++i) {
        uint64_t lo = 0, hi = 0;
        TIP5_FAST_UNROLL
        for (int j = 0; j < STATE_SIZE; ++j) {
            const uint32_t coefficient = c.mds[(i - j) & (STATE_SIZE - 1)];
            lo += mul_wide32(coefficient, static_cast<uint32_t>(u[j]));
            hi += mul_wide32(coefficient, static_cast<uint32_t>(u[j] >> 32));
        }
        // lo + rc + hi*2^32 = low + w2*2^64 = low + w2*(2^32-1)  (mod p), w2 < 2^22: one unsigned fold
        const U128 a = static_cast<U128>(lo) + c.round[STATE_SIZE * round + i];
        const uint64_t w1 = static_cast<uint64_t>(a >> 32) + static_cast<uint32_t>(hi);
        const uint64_t w2 = (hi >> 32) + (w1 >> 32);
        const U128 sum = static_cast<U128>((w1 << 32) | static_cast<uint32_t>(a)) +
                         mul_wide32(static_cast<uint32_t>(w2), 0xFFFFFFFFu);
        v[i] = static_cast<uint64_t>(sum) + mul_wide32(static_cast<uint32_t>(sum >> 64), 0xFFFFFFFFu);
    }
}

CRV_HD void permutation(uint64_t* state, const uint8_t* lookup)
{
    uint64_t s[STATE_SIZE];
    TIP5_FAST_UNROLL
    for (int i = 0; i < STATE_SIZE; ++i) s[i] = state[i];
    TIP5_FAST_UNROLL
    for (int round = 0; round < NUM_ROUNDS; ++round) {
        uint64_t u[STATE_SIZE];
        TIP5_FAST_UNROLL
        for (int i = 0; i < 4; ++i) u[i] = split_and_lookup(s[i], lookup);
        TIP5_FAST_UNROLL
        for (int i = 4; i < STATE_SIZE; ++i) u[i] = power_map(s[i]);
        mds_and_constants(u, s, round);
    }
    TIP5_FAST_UNROLL
    for (int i = 0; i < STATE_SIZE; ++i) state[i] = lazy_field::canonical(s[i]);
}

// The permutation as the hashing templates take it, with the byte table it reads.
struct Permutation {
    const uint8_t* lookup;
    CRV_HD void operator()(uint64_t* state) const { permutation(state, lookup); }
};

}  // namespace tip5_fast
