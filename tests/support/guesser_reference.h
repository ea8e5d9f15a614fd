// Independent host references: field arithmetic by plain 128-bit remainders, the guesser tree
// written from its definition with the host Tip5 entry points only; random inputs of the system's
// own types, and a permutation that counts calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "hash/digest.h"
#include "hash/tip5_host.h"
#include "pow/pow.h"

namespace reference {

using u128 = unsigned __int128;

inline uint64_t mod(u128 x) { return static_cast<uint64_t>(x % field::P); }
inline uint64_t mul(uint64_t a, uint64_t b) { return mod(static_cast<u128>(a) * b); }
inline uint64_t add(uint64_t a, uint64_t b) { return mod(static_cast<u128>(a) + b); }

// Values where carries, borrows and the reduction branches turn.
inline std::vector<uint64_t> edge_values()
{
    const uint64_t p = field::P;
    return {0, 1, 2, 0xFFFFFFFFull, 0x100000000ull, 0x100000001ull, 1ull << 63, (1ull << 63) + 1, p - 2, p - 1,
            0x00000000FFFFFFFEull, 0x8000000080000000ull, 0xFFFFFFFE00000001ull};
}

inline std::vector<uint64_t> random_canonical(size_t n, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> v(n);
    for (auto& x : v) x = rng() % field::P;
    return v;
}


inline Digest H(const Digest& left, const Digest& right)
{
    return Digest::from_words(tip5_hash_fixed_host(left.words(), right.words()));
}

inline Digest sequence_hash(const std::vector<uint64_t>& elements)
{
    return Digest::from_words(tip5_hash_varlen_host(elements.data(), elements.size()));
}

// The root over buds H(commitment, [i, 0, 0, 0, 0]) for i = j .. j + 31, wrapping at num_leafs,
// halving level by level.
inline Digest leaf(const Digest& commitment, uint64_t j, uint64_t num_leafs)
{
    std::vector<Digest> level;
    for (uint64_t k = 0; k < 32; ++k) level.push_back(H(commitment, Digest{{(j + k) % num_leafs, 0, 0, 0, 0}}));
    for (; level.size() > 1; level.resize(level.size() / 2))
        for (size_t k = 0; k < level.size() / 2; ++k) level[k] = H(level[2 * k], level[2 * k + 1]);
    return level[0];
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
    for (uint64_t j = 0; j < n; ++j) tree.leaves.push_back(leaf(commitment, j, n));
    tree.nodes.assign(n, Digest{});
    for (uint64_t node = n - 1; node >= 1; --node) {
        const Digest* children = 2 * node < n ? &tree.nodes[2 * node] : &tree.leaves[2 * node - n];
        tree.nodes[node] = H(children[0], children[1]);
    }
    return tree;
}

// The path of leaf `index` as a Pow carries it: the sibling leaf, the sibling on every level above,
// then zero digests up to GUESSER_TREE_HEIGHT.
inline std::vector<Digest> auth_path(const Tree& tree, uint64_t index)
{
    std::vector<Digest> path(GUESSER_TREE_HEIGHT, Digest{});
    path[0] = tree.leaves[index ^ 1];
    for (uint64_t j = 1; j < tree.height; ++j) path[j] = tree.nodes[((tree.leaves.size() + index) >> j) ^ 1];
    return path;
}

// The candidate of the tree whose nonce selects leaves index_a and index_b.
inline Pow candidate(const Tree& tree, uint64_t index_a, uint64_t index_b, const Digest& nonce)
{
    Pow pow;
    pow.root = tree.root();
    const std::vector<Digest> a = auth_path(tree, index_a), b = auth_path(tree, index_b);
    std::copy(a.begin(), a.end(), pow.path_a);
    std::copy(b.begin(), b.end(), pow.path_b);
    pow.nonce = nonce;
    return pow;
}

// Walks from a leaf to the root with its path: the index's bit j says on which side level j sits.
inline Digest root_from_path(Digest node, uint64_t index, const std::vector<Digest>& path)
{
    for (size_t j = 0; j < path.size(); ++j) node = ((index >> j) & 1) == 0 ? H(node, path[j]) : H(path[j], node);
    return node;
}

inline Digest random_digest(std::mt19937_64& rng)
{
    Digest d;
    for (uint64_t& e : d.elements) e = rng() % field::P;
    return d;
}

inline PowMastPaths random_paths(std::mt19937_64& rng)
{
    PowMastPaths p{};
    for (Digest* d : {&p.pow[0], &p.pow[1], &p.pow[2], &p.header[0], &p.header[1], &p.kernel[0]}) *d = random_digest(rng);
    return p;
}

inline Pow random_pow(std::mt19937_64& rng)
{
    Pow pow;
    for (Digest& d : pow.path_a) d = random_digest(rng);
    for (Digest& d : pow.path_b) d = random_digest(rng);
    pow.root = random_digest(rng);
    pow.nonce = random_digest(rng);
    return pow;
}

}  // namespace reference

// The host permutation, counting its calls: what a computation costs, in all and (`shapes`, indexed
// by tip5::Shape) by call-site shape. A shaped call must find the words its shape declares known at
// their values, and finds the words it declares unread spoilt afterwards.
struct CountingPermutation {
    uint64_t* count;
    uint64_t* shapes = nullptr;
    void operator()(uint64_t* state) const { shaped<tip5::Shape::full>(state); }
    template <tip5::Shape S>
    void shaped(uint64_t* state) const
    {
        constexpr tip5::ShapeWords w = tip5::shape_words(S);
        for (int i = 0; i < tip5::STATE_SIZE; ++i)
            if (((w.zero_in >> i) & 1 && state[i] != 0) || ((w.one_in >> i) & 1 && state[i] != 1))
                throw std::logic_error("word " + std::to_string(i) + " breaks shape " + std::to_string(int(S)));
        ++*count;
        if (shapes != nullptr) ++shapes[int(S)];
        HOST_PERMUTATION(state);
        for (int i = 0; i < tip5::STATE_SIZE; ++i)
            if (((w.out >> i) & 1) == 0) state[i] = 0xBADBADBADull;
    }
};
