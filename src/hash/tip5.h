// The Tip5 permutation, the pair hash and the variable-length sponge, written once for host and
// device. The tables are passed in, so the host entry points read the host copies and kernels read
// constant memory; the hashes take the permutation itself as a value (`permute(state)`), so a test
// can count the permutations a computation costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "gpu/runtime.h"
#include "hash/digest.h"
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

// What a call site knows of the state it permutes: the words that enter as 0 or as 1, and the words
// it reads afterwards. A permutation that can use it (tip5_fast) skips the S-box and the products
// of known words in its first round and the outputs nobody reads in its last; any other runs whole.
enum class Shape {
    full,        // nothing known: a sponge absorbing
    digest,      // only the digest read: the sponge's last permutation
    pair,        // capacity all 1, digest read: a pair hash
    pair_word,   // a pair hash whose right operand is [x, 0, 0, 0, 0]: a bud
    pair_zero,   // a pair hash whose right operand is zero: the index chain
    short_hash,  // the sequence hash of one digest: [d, 1, 0, ..., 0], digest read
    padding,     // a sponge's padding block [1, 0, ..., 0] on its capacity, digest read
};

struct ShapeWords {
    uint32_t zero_in, one_in;  // bit i: word i enters as 0 / as 1
    uint32_t out;              // bit i: word i is read afterwards
};

CRV_HD constexpr ShapeWords shape_words(Shape shape)
{
    constexpr uint32_t ALL = 0xFFFF, DIGEST = 0x1F, CAPACITY = 0xFC00;
    switch (shape) {
    case Shape::digest: return {0, 0, DIGEST};
    case Shape::pair: return {0, CAPACITY, DIGEST};
    case Shape::pair_word: return {0x3C0, CAPACITY, DIGEST};
    case Shape::pair_zero: return {0x3E0, CAPACITY, DIGEST};
    case Shape::short_hash: return {0xFFC0, 0x20, DIGEST};
    case Shape::padding: return {0x3FE, 0x1, DIGEST};
    default: return {0, 0, ALL};
    }
}

template <typename Permute, typename = void>
struct HasShapes : std::false_type {};
template <typename Permute>
struct HasShapes<Permute, std::void_t<decltype(&Permute::template shaped<Shape::full>)>> : std::true_type {};

// permute(state) at a call site of this shape.
template <Shape S, typename Permute>
CRV_HD void permute_as(const Permute& permute, uint64_t* state)
{
    if constexpr (HasShapes<Permute>::value)
        permute.template shaped<S>(state);
    else
        permute(state);
}

// The permutation over one set of tables, as the hashes below take it.
struct TablePermutation {
    Tables tables;
    CRV_HD void operator()(uint64_t* state) const { permutation(state, tables); }
};

CRV_HD void sponge_init(uint64_t* state, Domain domain)
{
    const uint64_t capacity_value = domain == Domain::FixedLength ? 1 : 0;
#pragma unroll
    for (int i = 0; i < RATE; ++i) state[i] = 0;
#pragma unroll
    for (int i = RATE; i < STATE_SIZE; ++i) state[i] = capacity_value;
}

// Overwrite mode: the chunk replaces the first min(n, RATE) rate slots.
template <typename Permute>
CRV_HD void sponge_absorb_chunk(uint64_t* state, const uint64_t* chunk, size_t n, const Permute& permute)
{
    const size_t count = n < static_cast<size_t>(RATE) ? n : static_cast<size_t>(RATE);
    for (size_t i = 0; i < count; ++i) state[i] = chunk[i];
    permute(state);
}

CRV_HD Digest sponge_squeeze(const uint64_t* state)
{
    Digest digest;
#pragma unroll
    for (int i = 0; i < DIGEST_LENGTH; ++i) digest.elements[i] = state[i];
    return digest;
}

// The hash of every Merkle node: left in slots 0..4, right in 5..9, the capacity all 1. S tells
// what the caller knows of the right operand (Shape::pair_word, Shape::pair_zero).
template <Shape S = Shape::pair, typename Permute>
CRV_HD Digest hash_pair(const Digest& left, const Digest& right, const Permute& permute)
{
    uint64_t state[STATE_SIZE];
    sponge_init(state, Domain::FixedLength);
#pragma unroll
    for (int i = 0; i < DIGEST_LENGTH; ++i) {
        state[i] = left.elements[i];
        state[DIGEST_LENGTH + i] = right.elements[i];
    }
    permute_as<S>(permute, state);
    return sponge_squeeze(state);
}

// The sequence hash of one digest's five elements: one permutation of [d, 1, 0, ..., 0].
template <typename Permute>
CRV_HD Digest hash_digest(const Digest& digest, const Permute& permute)
{
    uint64_t state[STATE_SIZE];
    sponge_init(state, Domain::VariableLength);
#pragma unroll
    for (int i = 0; i < DIGEST_LENGTH; ++i) state[i] = digest.elements[i];
    state[DIGEST_LENGTH] = 1;
    permute_as<Shape::short_hash>(permute, state);
    return sponge_squeeze(state);
}

// The variable-length hash fed one element at a time: a full rate block is permuted as soon as it
// fills, and finish() pads with a single 1 (there is always at least that), so no input is held.
template <typename Permute>
class Sponge {
public:
    CRV_HD explicit Sponge(const Permute& permute) : permute_(permute), fill_(0)
    {
        sponge_init(state_, Domain::VariableLength);
    }

    CRV_HD void absorb(uint64_t element)
    {
        state_[fill_++] = element;
        if (fill_ == RATE) {
            permute_(state_);
            fill_ = 0;
        }
    }
    CRV_HD void absorb(const Digest& digest)
    {
        for (int i = 0; i < DIGEST_LENGTH; ++i) absorb(digest.elements[i]);
    }

    CRV_HD Digest finish()
    {
        state_[fill_] = 1;
        for (int i = fill_ + 1; i < RATE; ++i) state_[i] = 0;
        permute_as<Shape::digest>(permute_, state_);
        return sponge_squeeze(state_);
    }

private:
    Permute permute_;
    uint64_t state_[STATE_SIZE];
    int fill_;
};

template <typename Permute>
CRV_HD Digest hash_varlen(const uint64_t* elements, size_t n, const Permute& permute)
{
    Sponge<Permute> sponge(permute);
    for (size_t i = 0; i < n; ++i) sponge.absorb(elements[i]);
    return sponge.finish();
}

}  // namespace tip5
