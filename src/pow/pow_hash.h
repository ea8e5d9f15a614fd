// Proof-of-work arithmetic written once for host and device: the commitment, the guesser leaves,
// the leaf-index derivation and the block hash of a candidate. Every function takes the Tip5
// permutation as a value (`permute(state)`), so the host passes the host tables, kernels pass the
// permutation they run, and a test can count permutations.
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
constexpr int LEAF_LEVELS = 5;  // 2^5 buds
static_assert(uint64_t(1) << LEAF_LEVELS == BUDS_PER_LEAF, "a leaf is a complete tree over its buds");

// Root of the tree over the 32 buds H(commitment, [i, 0, 0, 0, 0]), i = j .. j + 31 wrapping at
// num_leafs (a power of two), reduced on a stack (63 permutations): each bud merges with the roots
// of the complete subtrees before it, one per trailing one bit of its number, so no more than five
// roots wait beside the digest in hand — never a window of 32 digests.
template <typename Permute>
CRV_HD Digest leaf(const Digest& commitment, uint64_t j, uint64_t num_leafs, const Permute& permute)
{
    const uint64_t mask = num_leafs - 1;
    Digest pending[LEAF_LEVELS];
    int top = 0;
#pragma unroll 1  // unrolled, the stack would move into registers that the permutation needs more
    for (uint64_t k = 0; k < BUDS_PER_LEAF; ++k) {
        Digest d = tip5::hash_pair<tip5::Shape::pair_word>(commitment, Digest{{(j + k) & mask, 0, 0, 0, 0}}, permute);
        for (uint64_t m = k; (m & 1) != 0; m >>= 1) d = tip5::hash_pair(pending[--top], d, permute);
        pending[top++] = d;
    }
    return pending[0];  // bud 31 closed every subtree
}

constexpr int INDEX_ROUNDS = 62;

// One pair hash of (final_hash, nonce), then 62 pair hashes with the zero digest (63 permutations).
template <typename Permute>
CRV_HD void indices(const Digest& final_hash, const Digest& nonce, uint64_t index_mask, uint64_t& index_a,
                    uint64_t& index_b, const Permute& permute)
{
    const Digest zero{};
    Digest d = tip5::hash_pair(final_hash, nonce, permute);
    for (int round = 0; round < INDEX_ROUNDS; ++round) d = tip5::hash_pair<tip5::Shape::pair_zero>(d, zero, permute);
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
    const Digest l2 = tip5::hash_digest(h3, permute);
    const Digest g1 = tip5::hash_pair(l2, paths.header[0], permute);
    const Digest g2 = tip5::hash_pair(g1, paths.header[1], permute);
    const Digest k = tip5::hash_digest(g2, permute);
    return tip5::hash_pair(k, paths.kernel[0], permute);
}

// The path entries of a candidate held in a Pow.
struct StoredPaths {
    const Pow& pow;
    CRV_HD const Digest& a(uint64_t j) const { return pow.path_a[j]; }
    CRV_HD const Digest& b(uint64_t j) const { return pow.path_b[j]; }
};

// Two digests into the rate of a variable-length sponge state, then one permutation.
template <typename Permute>
CRV_HD void absorb_two(uint64_t* state, const Digest& first, const Digest& second, const Permute& permute)
{
#pragma unroll
    for (int i = 0; i < Digest::LENGTH; ++i) {
        state[i] = first.elements[i];
        state[Digest::LENGTH + i] = second.elements[i];
    }
    permute(state);
}

// The block hash of the candidate (root, paths, nonce): its encoding — nonce, path_b, path_a, root,
// the reverse member order, 60 digests — goes through the sponge two digests per rate block, so
// `paths.a(j)` and `paths.b(j)` may read or build each entry just when it is absorbed and every state
// word keeps a fixed slot; then folded through the MAST paths. 31 + 8 = 39 permutations, nothing
// allocated.
template <typename Paths, typename Permute>
CRV_HD Digest block_hash(const PowMastPaths& mast_paths, const Digest& root, const Paths& paths, const Digest& nonce,
                         const Permute& permute)
{
    static_assert(tip5::RATE == 2 * Digest::LENGTH && GUESSER_TREE_HEIGHT % 2 == 1,
                  "the nonce pairs with path_b[0], path_a[28] with the root");
    uint64_t state[tip5::STATE_SIZE];
    tip5::sponge_init(state, tip5::Domain::VariableLength);
    absorb_two(state, nonce, paths.b(0), permute);
    for (uint64_t j = 1; j < GUESSER_TREE_HEIGHT; j += 2) absorb_two(state, paths.b(j), paths.b(j + 1), permute);
    for (uint64_t j = 0; j + 1 < GUESSER_TREE_HEIGHT; j += 2) absorb_two(state, paths.a(j), paths.a(j + 1), permute);
    absorb_two(state, paths.a(GUESSER_TREE_HEIGHT - 1), root, permute);
    // 300 elements fill whole blocks: the padding is a block of its own, [1, 0, ..., 0]
    state[0] = 1;
#pragma unroll
    for (int i = 1; i < tip5::RATE; ++i) state[i] = 0;
    tip5::permute_as<tip5::Shape::padding>(permute, state);
    return fold_mast_paths(tip5::sponge_squeeze(state), mast_paths, permute);
}

template <typename Permute>
CRV_HD Digest fast_mast_hash(const PowMastPaths& mast_paths, const Pow& pow, const Permute& permute)
{
    return block_hash(mast_paths, pow.root, StoredPaths{pow}, pow.nonce, permute);
}

}  // namespace pow_hash
