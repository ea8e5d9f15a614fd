// Independent host model of the guesser tree, written from its definition with the host Tip5
// entry points only (no system code below the hash), for comparing the kernels against.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "hash/digest.h"
#include "hash/tip5_host.h"
#include "pow/pow.h"

namespace reference {

inline Digest H(const Digest& left, const Digest& right)
{
    return Digest::from_words(tip5_hash_fixed_host(left.words(), right.words()));
}

inline Digest sequence_hash(const std::vector<uint64_t>& elements)
{
    return Digest::from_words(tip5_hash_varlen_host(elements.data(), elements.size()));
}

inline Digest bud(const Digest& commitment, uint64_t i)
{
    return H(commitment, Digest{{i, 0, 0, 0, 0}});
}

// Root of a complete binary tree over the given level (size a power of two), halving level by level.
inline Digest merkle_root_of(std::vector<Digest> level)
{
    while (level.size() > 1) {
        std::vector<Digest> up(level.size() / 2);
        for (size_t k = 0; k < up.size(); ++k) up[k] = H(level[2 * k], level[2 * k + 1]);
        level.swap(up);
    }
    return level[0];
}

constexpr uint64_t BUDS_PER_LEAF = 32;

inline Digest leaf(const Digest& commitment, uint64_t j, uint64_t num_leafs)
{
    std::vector<Digest> buds;
    for (uint64_t k = 0; k < BUDS_PER_LEAF; ++k) buds.push_back(bud(commitment, (j + k) % num_leafs));
    return merkle_root_of(buds);
}

// All leaves of a small tree, sharing the buds of the sliding windows.
inline std::vector<Digest> leaves(const Digest& commitment, uint64_t num_leafs)
{
    std::vector<Digest> buds(num_leafs);
    for (uint64_t i = 0; i < num_leafs; ++i) buds[i] = bud(commitment, i);
    std::vector<Digest> out(num_leafs);
    for (uint64_t j = 0; j < num_leafs; ++j) {
        std::vector<Digest> window;
        for (uint64_t k = 0; k < BUDS_PER_LEAF; ++k) window.push_back(buds[(j + k) % num_leafs]);
        out[j] = merkle_root_of(window);
    }
    return out;
}

struct Tree {
    uint64_t height = 0;
    std::vector<Digest> leaves;  // level `height`
    std::vector<Digest> nodes;   // heap order, 2^height slots, slot 0 unused (zero)
    Digest root() const { return nodes[1]; }
};

inline Tree build_tree(const Digest& commitment, uint64_t height)
{
    Tree tree;
    tree.height = height;
    const uint64_t n = uint64_t(1) << height;
    tree.leaves = leaves(commitment, n);
    tree.nodes.assign(n, Digest{});
    for (uint64_t t = 0; t < n / 2; ++t) tree.nodes[n / 2 + t] = H(tree.leaves[2 * t], tree.leaves[2 * t + 1]);
    for (uint64_t node = n / 2 - 1; node >= 1; --node) tree.nodes[node] = H(tree.nodes[2 * node], tree.nodes[2 * node + 1]);
    return tree;
}

// Authentication path of leaf `index`: the sibling leaf, then the sibling on every level above.
// Out-of-range positions give the zero digest.
inline std::vector<Digest> auth_path(const Tree& tree, uint64_t index)
{
    const uint64_t n = uint64_t(1) << tree.height;
    std::vector<Digest> path(tree.height, Digest{});
    if ((index ^ 1) < n) path[0] = tree.leaves[index ^ 1];
    for (uint64_t j = 1; j < tree.height; ++j) {
        const uint64_t node = ((n + index) >> j) ^ 1;
        if (node < n) path[j] = tree.nodes[node];
    }
    return path;
}

// Walks from a leaf to the root with its path: the index's bit j says on which side level j sits.
inline Digest root_from_path(Digest node, uint64_t index, const std::vector<Digest>& path)
{
    for (size_t j = 0; j < path.size(); ++j)
        node = ((index >> j) & 1) == 0 ? H(node, path[j]) : H(path[j], node);
    return node;
}

inline Digest random_digest(std::mt19937_64& rng)
{
    Digest d;
    for (int i = 0; i < Digest::LENGTH; ++i) d[i] = rng() % field::P;
    return d;
}

// Random inputs of the system's own types, for the tests that compare it with the model.
inline PowMastPaths random_paths(std::mt19937_64& rng)
{
    PowMastPaths p{};
    for (Digest& d : p.pow) d = random_digest(rng);
    for (Digest& d : p.header) d = random_digest(rng);
    p.kernel[0] = random_digest(rng);
    return p;
}

inline Pow random_pow(std::mt19937_64& rng)
{
    Pow pow;
    pow.root = random_digest(rng);
    for (Digest& d : pow.path_a) d = random_digest(rng);
    for (Digest& d : pow.path_b) d = random_digest(rng);
    pow.nonce = random_digest(rng);
    return pow;
}

}  // namespace reference
