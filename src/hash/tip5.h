// The Tip5 permutation and sponge, written once for host and device. The tables are passed in so
// that the host entry points read the host copies and the device entry points read constant memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/runtime.h"
#include "hash/field.h"
#include "hash/tip5_tables.h"

namespace tip5 {

enum class Domain : uint64_t { VariableLength = 0, FixedLength = 1 };

// The published split-and-lookup acts on the bytes of the Montgomery form x * 2^64 mod p.
CRV_HD uint64_t split_and_lookup(uint64_t x, const uint8_t* lookup)
{
    uint64_t m = field::mont_mul(x, field::R2_MOD_P);
    uint64_t w = 0;
#pragma unroll
    for (int k = 0; k < 8; ++k) {
        uint64_t byte = (m >> (8 * k)) & 0xFF;
        w |= static_cast<uint64_t>(lookup[byte]) << (8 * k);
    }
    return field::mont_reduce(w, 0);
}

// x^7 through four Montgomery products: x^7 * 2^-384 = x^7, since 2^384 = 1 (mod p).
CRV_HD uint64_t power_map(uint64_t x)
{
    uint64_t s = field::mont_mul(x, x);
    uint64_t q = field::mont_mul(s, s);
    uint64_t t = field::mont_mul(q, s);
    return field::mont_mul(t, x);
}

CRV_HD void sbox_layer(const uint64_t* in, uint64_t* out, const uint8_t* lookup)
{
#pragma unroll
    for (int i = 0; i < 4; ++i) out[i] = split_and_lookup(in[i], lookup);
#pragma unroll
    for (int i = 4; i < STATE_SIZE; ++i) out[i] = power_map(in[i]);
}

// Plain 16x16 circulant multiply-accumulate in 128 bits (each product < 2^80, each sum < 2^84).
CRV_HD void mds_layer(const uint64_t* in, uint64_t* out, const uint32_t* mds)
{
#pragma unroll
    for (int i = 0; i < STATE_SIZE; ++i) {
        uint64_t lo = 0, hi = 0;
#pragma unroll
        for (int j = 0; j < STATE_SIZE; ++j) {
            field::U128 product = field::mul_wide(mds[(i - j) & (STATE_SIZE - 1)], in[j]);
            lo += product.lo;
            hi += product.hi + (lo < product.lo ? 1 : 0);
        }
        out[i] = field::reduce128(lo, hi);
    }
}

CRV_HD void round_constants_layer(int round, const uint64_t* in, uint64_t* out, const uint64_t* round_constants)
{
#pragma unroll
    for (int i = 0; i < STATE_SIZE; ++i) out[i] = field::add(in[i], round_constants[STATE_SIZE * round + i]);
}

CRV_HD void permutation(uint64_t* state, const Tables& tables)
{
    uint64_t scratch[STATE_SIZE];
    for (int round = 0; round < NUM_ROUNDS; ++round) {
        sbox_layer(state, scratch, tables.lookup);
        mds_layer(scratch, state, tables.mds_coefficients);
        round_constants_layer(round, state, state, tables.round_constants);
    }
}

CRV_HD void sponge_init(uint64_t* state, Domain domain)
{
    const uint64_t capacity_value = domain == Domain::FixedLength ? 1 : 0;
#pragma unroll
    for (int i = 0; i < RATE; ++i) state[i] = 0;
#pragma unroll
    for (int i = RATE; i < STATE_SIZE; ++i) state[i] = capacity_value;
}

// Overwrite mode: the chunk replaces the first min(n, RATE) rate slots.
CRV_HD void sponge_absorb_chunk(uint64_t* state, const uint64_t* chunk, size_t n, const Tables& tables)
{
    const size_t count = n < static_cast<size_t>(RATE) ? n : static_cast<size_t>(RATE);
    for (size_t i = 0; i < count; ++i) state[i] = chunk[i];
    permutation(state, tables);
}

CRV_HD void sponge_squeeze(const uint64_t* state, uint64_t* digest)
{
#pragma unroll
    for (int i = 0; i < DIGEST_LENGTH; ++i) digest[i] = state[i];
}

// The pair hash of every Merkle node: left in slots 0..4, right in 5..9, capacity all 1.
CRV_HD void hash_pair(const uint64_t* left, const uint64_t* right, uint64_t* out, const Tables& tables)
{
    uint64_t state[STATE_SIZE];
#pragma unroll
    for (int i = 0; i < DIGEST_LENGTH; ++i) {
        state[i] = left[i];
        state[DIGEST_LENGTH + i] = right[i];
    }
#pragma unroll
    for (int i = RATE; i < STATE_SIZE; ++i) state[i] = 1;
    permutation(state, tables);
    sponge_squeeze(state, out);
}

// Streaming form of the variable-length hash, so device code can feed elements one at a time
// without holding the whole input: full rate blocks are absorbed as they fill, and finish()
// pads with a single 1 (always at least one padding element).
struct VarlenHasher {
    uint64_t state[STATE_SIZE];
    int fill;

    CRV_HD void begin()
    {
        sponge_init(state, Domain::VariableLength);
        fill = 0;
    }
    CRV_HD void absorb(uint64_t element, const Tables& tables)
    {
        state[fill++] = element;
        if (fill == RATE) {
            permutation(state, tables);
            fill = 0;
        }
    }
    CRV_HD void finish(uint64_t* digest, const Tables& tables)
    {
        state[fill] = 1;
        for (int i = fill + 1; i < RATE; ++i) state[i] = 0;
        permutation(state, tables);
        sponge_squeeze(state, digest);
    }
};

CRV_HD void hash_varlen(const uint64_t* elements, size_t n, uint64_t* out, const Tables& tables)
{
    VarlenHasher hasher;
    hasher.begin();
    for (size_t i = 0; i < n; ++i) hasher.absorb(elements[i], tables);
    hasher.finish(out, tables);
}

}  // namespace tip5
