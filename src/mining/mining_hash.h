// The per-candidate arithmetic of the nonce search, written once for host and device: the
// authentication-path rule over a guesser tree and the candidate's block hash, streamed so that
// neither path is ever held. Templated on the permutation like pow_hash.h, so the host can count
// what a candidate costs with the same source the kernel runs.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "mining/philox.h"
#include "pow/pow.h"
#include "pow/pow_hash.h"

namespace mining {

// The tree as the kernels see it. `leafs` may be null: sibling leaves are then built. num_leafs =
// 2^tree_height.
struct TreeView {
    const Digest* leafs;   // the first stored_leafs leaves
    uint64_t stored_leafs;
    const Digest* nodes;
    uint64_t num_leafs;
    uint64_t tree_height;
};

// Entries a candidate's paths carry: a Pow holds GUESSER_TREE_HEIGHT, a smaller tree fills fewer.
CRV_HD uint64_t pow_path_length(uint64_t tree_height)
{
    return tree_height < GUESSER_TREE_HEIGHT ? tree_height : GUESSER_TREE_HEIGHT;
}

// Leaf indices are as wide as the tree: 29 bits for the product tree.
CRV_HD uint64_t leaf_index_mask(uint64_t tree_height)
{
    return (uint64_t(1) << pow_path_length(tree_height)) - 1;
}

// First node number past the tree (2^tree_height), saturating for absurd heights.
CRV_HD uint64_t node_limit(uint64_t tree_height)
{
    return tree_height >= 64 ? ~uint64_t(0) : uint64_t(1) << tree_height;
}

// Where sibling leaves come from when the tree does not store them: built from the puzzle's
// commitment, given once (63 permutations a leaf).
struct BuiltLeaves {
    Digest commitment;
    template <typename Permute>
    CRV_HD Digest operator()(uint64_t index, uint64_t num_leafs, const Permute& permute) const
    {
        return pow_hash::leaf(commitment, index, num_leafs, permute);
    }
};

// The reference kernel's leaves, as the first kernels built them: the commitment recomputed from the
// paths for every leaf, the 32 buds reduced in place in a window in thread-local memory (67
// permutations a leaf). Kept to be measured against, equal to BuiltLeaves.
struct ReferenceLeaves {
    const PowMastPaths& paths;
    template <typename Permute>
    CRV_HD Digest operator()(uint64_t index, uint64_t num_leafs, const Permute& permute) const
    {
        const Digest commitment = pow_hash::commitment(paths, permute);
        Digest window[pow_hash::BUDS_PER_LEAF];
        for (uint64_t k = 0; k < pow_hash::BUDS_PER_LEAF; ++k)
            window[k] = tip5::hash_pair(commitment, Digest{{(index + k) % num_leafs, 0, 0, 0, 0}}, permute);
        for (uint64_t step = 1; step < pow_hash::BUDS_PER_LEAF; step *= 2)
            for (uint64_t p = 0; p < pow_hash::BUDS_PER_LEAF; p += 2 * step)
                window[p] = tip5::hash_pair(window[p], window[p + step], permute);
        return window[0];
    }
};

// Element j of the path of leaf `index`: the sibling leaf for j = 0 (stored, else from `leaves`),
// above it the sibling node on level tree_height - j; the zero digest wherever that lies outside the
// tree.
template <typename Leaves, typename Permute>
CRV_HD Digest path_element(const TreeView& tree, uint64_t index, uint64_t j, const Leaves& leaves,
                           const Permute& permute)
{
    if (j == 0) {
        const uint64_t sibling = index ^ 1;
        if (sibling >= tree.num_leafs) return Digest{};
        if (sibling < tree.stored_leafs) return load_digest(tree.leafs + sibling);
        return leaves(sibling, tree.num_leafs, permute);
    }
    const uint64_t node = ((tree.num_leafs + index) >> j) ^ 1;
    if (node >= node_limit(tree.tree_height)) return Digest{};
    return load_digest(tree.nodes + node);
}

template <typename Leaves, typename Permute>
CRV_HD void merkle_path(const TreeView& tree, uint64_t index, uint64_t length, const Leaves& leaves,
                        Digest* path, const Permute& permute)
{
    for (uint64_t j = 0; j < length; ++j) path[j] = path_element(tree, index, j, leaves, permute);
}

// Entry j of the path as a Pow carries it: the tree's entries, then zero digests up to
// GUESSER_TREE_HEIGHT.
template <typename Leaves, typename Permute>
CRV_HD Digest pow_path_entry(const TreeView& tree, uint64_t index, uint64_t j, const Leaves& leaves,
                             const Permute& permute)
{
    return j < pow_path_length(tree.tree_height) ? path_element(tree, index, j, leaves, permute) : Digest{};
}

// The two paths of a candidate, each entry read or built when the block hash absorbs it.
template <typename Leaves, typename Permute>
struct TreePaths {
    const TreeView& tree;
    uint64_t index_a, index_b;
    const Leaves& leaves;
    const Permute& permute;
    CRV_HD Digest a(uint64_t j) const { return pow_path_entry(tree, index_a, j, leaves, permute); }
    CRV_HD Digest b(uint64_t j) const { return pow_path_entry(tree, index_b, j, leaves, permute); }
};

// [counter, x, y, z, w]: the nonce counter, then one Philox draw, each word in the low half.
CRV_HD Digest nonce_digest(uint64_t counter, const philox::Words& words)
{
    return Digest{{counter, words.w[0], words.w[1], words.w[2], words.w[3]}};
}

struct CandidateHash {
    uint64_t index_a;
    uint64_t index_b;
    Digest hash;  // the block hash
};

// The block hash of the candidate a nonce selects, equal to PowMastPaths::fast_mast_hash of
// Pow{root, path(index_a), path(index_b), nonce} with neither path ever held. 63 permutations for
// the indices and 39 for the hash: 102 with stored leaves; with built ones 63 more per sibling leaf,
// 228 (BuiltLeaves), or 67 more (ReferenceLeaves), 236.
template <typename Leaves, typename Permute>
CRV_HD CandidateHash candidate_hash(const TreeView& tree, const PowMastPaths& mast_paths, const Digest& root,
                                    const Digest& final_hash, const Digest& nonce, const Leaves& leaves,
                                    const Permute& permute)
{
    CandidateHash out;
    pow_hash::indices(final_hash, nonce, leaf_index_mask(tree.tree_height), out.index_a, out.index_b, permute);
    const TreePaths<Leaves, Permute> paths{tree, out.index_a, out.index_b, leaves, permute};
    out.hash = pow_hash::block_hash(mast_paths, root, paths, nonce, permute);
    return out;
}

}  // namespace mining
