// Proof-of-work arithmetic written once for host and device: the commitment, the guesser leaves,
// the leaf-index derivation and the block hash of a candidate. Every function takes the Tip5
// permutation as a value (`permute(state)`), so the host passes the host tables, kernels pass the
// constant-memory tables, and a test can count permutations.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/tip5.h"
#include "pow/pow.h"

namespace pow_hash {

// The sequence hash of the 30 elements of the paths in member order (4 permutations).
template <typename Permute>
CRV_HD Digest commitment(const PowMastPaths& paths, const Permute& permute)
{
    tip5::Sponge<Permute> sponge(permute);
    for (const Digest& d : paths.pow) sponge.absorb(d);
    for (const Digest& d : paths.header) sponge.absorb(d);
    sponge.absorb(paths.kernel[0]);
    return sponge.finish();
}

constexpr uint64_t BUDS_PER_LEAF = 32;

// Root of the window of 32 buds H(commitment, [i, 0, 0, 0, 0]), i = j .. j + 31 wrapping at
// num_leafs, reduced in place level by level (63 permutations). The window lives in thread-local
// memory.
template <typename Permute>
CRV_HD Digest leaf(const Digest& commitment, uint64_t j, uint64_t num_leafs, const Permute& permute)
{
    Digest window[BUDS_PER_LEAF];
    for (uint64_t k = 0; k < BUDS_PER_LEAF; ++k)
        window[k] = tip5::hash_pair(commitment, Digest{{(j + k) % num_leafs, 0, 0, 0, 0}}, permute);
    for (uint64_t step = 1; step < BUDS_PER_LEAF; step *= 2)
        for (uint64_t p = 0; p < BUDS_PER_LEAF; p += 2 * step)
            window[p] = tip5::hash_pair(window[p], window[p + step], permute);
    return window[0];
}

constexpr int INDEX_ROUNDS = 62;

// One pair hash of (final_hash, nonce), then 62 pair hashes with the zero digest (63 permutations).
template <typename Permute>
CRV_HD void indices(const Digest& final_hash, const Digest& nonce, uint64_t index_mask, uint64_t& index_a,
                    uint64_t& index_b, const Permute& permute)
{
    const Digest zero{};
    Digest d = tip5::hash_pair(final_hash, nonce, permute);
    for (int round = 0; round < INDEX_ROUNDS; ++round) d = tip5::hash_pair(d, zero, permute);
    index_a = d.elements[0] & index_mask;
    index_b = d.elements[1] & index_mask;
}

// From the hash of the encoded candidate up to the block hash (8 permutations). The `pow` leaf is
// leaf 4 of the header's 8-leaf tree (left, left, right); the header leaf is leaf 0 of the kernel's
// 4-leaf tree and the kernel leaf leaf 0 of the block's 2-leaf tree.
template <typename Permute>
CRV_HD Digest fold_mast_paths(const Digest& encoded_pow_hash, const PowMastPaths& paths, const Permute& permute)
{
    const Digest h1 = tip5::hash_pair(encoded_pow_hash, paths.pow[0], permute);
    const Digest h2 = tip5::hash_pair(h1, paths.pow[1], permute);
    const Digest h3 = tip5::hash_pair(paths.pow[2], h2, permute);
    const Digest l2 = tip5::hash_varlen(h3.elements, Digest::LENGTH, permute);
    const Digest g1 = tip5::hash_pair(l2, paths.header[0], permute);
    const Digest g2 = tip5::hash_pair(g1, paths.header[1], permute);
    const Digest k = tip5::hash_varlen(g2.elements, Digest::LENGTH, permute);
    return tip5::hash_pair(k, paths.kernel[0], permute);
}

// The path entries of a candidate held in a Pow.
struct StoredPaths {
    const Pow& pow;
    CRV_HD const Digest& a(uint64_t j) const { return pow.path_a[j]; }
    CRV_HD const Digest& b(uint64_t j) const { return pow.path_b[j]; }
};

// The block hash of the candidate (root, paths, nonce): its encoding — nonce, path_b, path_a, root,
// the reverse member order — streamed through the sponge entry by entry, so `paths.a(j)` and
// `paths.b(j)` may read or build each entry just when it is absorbed; then folded through the
// MAST paths. 31 + 8 = 39 permutations, nothing allocated.
template <typename Paths, typename Permute>
CRV_HD Digest block_hash(const PowMastPaths& mast_paths, const Digest& root, const Paths& paths, const Digest& nonce,
                         const Permute& permute)
{
    tip5::Sponge<Permute> sponge(permute);
    sponge.absorb(nonce);
    for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) sponge.absorb(paths.b(j));
    for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) sponge.absorb(paths.a(j));
    sponge.absorb(root);
    return fold_mast_paths(sponge.finish(), mast_paths, permute);
}

template <typename Permute>
CRV_HD Digest fast_mast_hash(const PowMastPaths& mast_paths, const Pow& pow, const Permute& permute)
{
    return block_hash(mast_paths, pow.root, StoredPaths{pow}, pow.nonce, permute);
}

}  // namespace pow_hash
