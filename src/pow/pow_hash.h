// Proof-of-work arithmetic written once for host and device. Every function takes the Tip5
// permutation as a value (`permute(state)`), so the host passes the host tables, kernels pass the
// constant-memory tables, and a test can count permutations.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/tip5.h"
#include "pow/pow.h"

namespace pow_hash {

struct TablePermutation {
    tip5::Tables tables;
    CRV_HD void operator()(uint64_t* state) const { tip5::permutation(state, tables); }
};

// Left in slots 0..4, right in 5..9, capacity all 1: the hash of every Merkle node.
template <typename Permute>
CRV_HD Digest pair(const Digest& left, const Digest& right, const Permute& permute)
{
    uint64_t state[tip5::STATE_SIZE];
#pragma unroll
    for (int i = 0; i < Digest::LENGTH; ++i) {
        state[i] = left.elements[i];
        state[Digest::LENGTH + i] = right.elements[i];
    }
#pragma unroll
    for (int i = tip5::RATE; i < tip5::STATE_SIZE; ++i) state[i] = 1;
    permute(state);
    Digest out;
#pragma unroll
    for (int i = 0; i < Digest::LENGTH; ++i) out.elements[i] = state[i];
    return out;
}

// The variable-length sponge fed one element at a time: a full rate block is permuted as soon as
// it fills, and finish() pads with a single 1, so no input needs to be held.
template <typename Permute>
struct Sponge {
    uint64_t state[tip5::STATE_SIZE];
    int fill;

    CRV_HD void begin()
    {
#pragma unroll
        for (int i = 0; i < tip5::STATE_SIZE; ++i) state[i] = 0;
        fill = 0;
    }
    CRV_HD void absorb(uint64_t element, const Permute& permute)
    {
        state[fill++] = element;
        if (fill == tip5::RATE) {
            permute(state);
            fill = 0;
        }
    }
    CRV_HD void absorb(const Digest& digest, const Permute& permute)
    {
        for (int i = 0; i < Digest::LENGTH; ++i) absorb(digest.elements[i], permute);
    }
    CRV_HD Digest finish(const Permute& permute)
    {
        state[fill] = 1;
        for (int i = fill + 1; i < tip5::RATE; ++i) state[i] = 0;
        permute(state);
        Digest out;
#pragma unroll
        for (int i = 0; i < Digest::LENGTH; ++i) out.elements[i] = state[i];
        return out;
    }
};

template <typename Permute>
CRV_HD Digest hash_digest(const Digest& digest, const Permute& permute)
{
    Sponge<Permute> sponge;
    sponge.begin();
    sponge.absorb(digest, permute);
    return sponge.finish(permute);
}

// Streaming commitment (4 permutations); the host's commit() hashes a materialised sequence.
template <typename Permute>
CRV_HD Digest commitment(const PowMastPaths& paths, const Permute& permute)
{
    Sponge<Permute> sponge;
    sponge.begin();
    for (int i = 0; i < 3; ++i) sponge.absorb(paths.pow[i], permute);
    for (int i = 0; i < 2; ++i) sponge.absorb(paths.header[i], permute);
    sponge.absorb(paths.kernel[0], permute);
    return sponge.finish(permute);
}

constexpr uint64_t BUDS_PER_LEAF = 32;

// bud(i) = H(commitment, [i, 0, 0, 0, 0]).
template <typename Permute>
CRV_HD Digest bud(const Digest& commitment, uint64_t i, const Permute& permute)
{
    return pair(commitment, Digest{{i, 0, 0, 0, 0}}, permute);
}

// Root of the 32-bud window starting at j (wrapping at num_leafs), reduced in place level by level
// (63 permutations). The window lives in thread-local memory.
template <typename Permute>
CRV_HD Digest leaf(const Digest& commitment, uint64_t j, uint64_t num_leafs, const Permute& permute)
{
    Digest window[BUDS_PER_LEAF];
    for (uint64_t k = 0; k < BUDS_PER_LEAF; ++k) window[k] = bud(commitment, (j + k) % num_leafs, permute);
    for (uint64_t step = 1; step < BUDS_PER_LEAF; step *= 2)
        for (uint64_t p = 0; p < BUDS_PER_LEAF; p += 2 * step) window[p] = pair(window[p], window[p + step], permute);
    return window[0];
}

constexpr int INDEX_ROUNDS = 62;

// One pair hash of (final_hash, nonce), then 62 pair hashes with the zero digest (63 permutations).
template <typename Permute>
CRV_HD void indices(const Digest& final_hash, const Digest& nonce, uint64_t index_mask, uint64_t& index_a,
                    uint64_t& index_b, const Permute& permute)
{
    const Digest zero{};
    Digest d = pair(final_hash, nonce, permute);
    for (int round = 0; round < INDEX_ROUNDS; ++round) d = pair(d, zero, permute);
    index_a = d.elements[0] & index_mask;
    index_b = d.elements[1] & index_mask;
}

// From the hash of the encoded candidate up to the block hash (8 permutations). The `pow` leaf is
// leaf 4 of the header's 8-leaf tree (left, left, right); the header leaf is leaf 0 of the kernel's
// 4-leaf tree and the kernel leaf leaf 0 of the block's 2-leaf tree.
template <typename Permute>
CRV_HD Digest fold_mast_paths(const Digest& encoded_pow_hash, const PowMastPaths& paths, const Permute& permute)
{
    Digest h1 = pair(encoded_pow_hash, paths.pow[0], permute);
    Digest h2 = pair(h1, paths.pow[1], permute);
    Digest h3 = pair(paths.pow[2], h2, permute);
    Digest g1 = pair(hash_digest(h3, permute), paths.header[0], permute);
    Digest g2 = pair(g1, paths.header[1], permute);
    return pair(hash_digest(g2, permute), paths.kernel[0], permute);
}

// Absorbs a candidate in its encoding order: nonce, path_b, path_a, root (the reverse member order).
template <typename Permute>
CRV_HD void absorb_encoded_pow(Sponge<Permute>& sponge, const Pow& pow, const Permute& permute)
{
    sponge.absorb(pow.nonce, permute);
    for (uint64_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) sponge.absorb(pow.path_b[i], permute);
    for (uint64_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) sponge.absorb(pow.path_a[i], permute);
    sponge.absorb(pow.root, permute);
}

// Streaming fast MAST hash (31 + 8 = 39 permutations), nothing allocated.
template <typename Permute>
CRV_HD Digest fast_mast_hash(const PowMastPaths& paths, const Pow& pow, const Permute& permute)
{
    Sponge<Permute> sponge;
    sponge.begin();
    absorb_encoded_pow(sponge, pow, permute);
    return fold_mast_paths(sponge.finish(permute), paths, permute);
}

}  // namespace pow_hash
