// The sliding-window build of the guesser leaves, written once for host and device. Leaf j is the
// root over the 32 buds j .. j + 31, and neighbouring windows share their subtrees: with
// P_0(i) = bud(i) and P_k(i) = H(P_{k-1}(i), P_{k-1}(i + 2^(k-1))), indices wrapping at num_leafs,
// leaf(j) = P_5(j). A chunk of C leaves computes level k < 5 at C + 32 - 2^k positions and the
// leaves in pairs with their layer-0 node: 6.5 C + 129 permutations instead of 63.5 C.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/tip5.h"
#include "pow/pow_hash.h"

namespace window_build {

constexpr int LEAF_LEVEL = 5;
static_assert((uint64_t(1) << LEAF_LEVEL) == pow_hash::BUDS_PER_LEAF, "a leaf is P_5");

// Entries of `level` in a chunk of `leaves` leaves: below the leaf level every position whose
// window the levels above still read; at the leaf level one pair of leaves each.
CRV_HD uint64_t level_entries(uint64_t leaves, int level)
{
    return level < LEAF_LEVEL ? leaves + pow_hash::BUDS_PER_LEAF - (uint64_t(1) << level) : leaves / 2;
}

// What one entry costs: one pair hash, or at the leaf level two leaves and their node.
CRV_HD uint64_t entry_permutations(int level) { return level < LEAF_LEVEL ? 1 : 3; }

// One launch's share of one level of one chunk. Entry e of a level below the leaf level is
// position first + e (mod num_leafs); entry e of the leaf level is leaves first + 2e, first + 2e + 1.
struct WindowStep {
    Digest commitment{};
    const Digest* below = nullptr;  // the chunk's level - 1 (unused for the buds)
    Digest* out = nullptr;          // the chunk's level; at the leaf level the chunk's layer-0 nodes
    Digest* leaves = nullptr;       // leaf level only: the chunk's stored leaves, or null
    uint64_t first = 0;             // the chunk's first leaf
    uint64_t leaf_mask = 0;         // num_leafs - 1
    uint64_t begin = 0;             // this launch's first entry
    uint64_t count = 0;             // this launch's entries
    int level = 0;
};

template <typename Permute>
CRV_HD void window_step(const WindowStep& step, uint64_t entry, const Permute& permute)
{
    if (step.level < LEAF_LEVEL) {
        const uint64_t reach = step.level == 0 ? 0 : uint64_t(1) << (step.level - 1);
        const Digest left = step.level == 0 ? step.commitment : load_digest(step.below + entry);
        const Digest right = step.level == 0 ? Digest{{(step.first + entry) & step.leaf_mask, 0, 0, 0, 0}}
                                             : load_digest(step.below + entry + reach);
        step.out[entry] = tip5::hash_pair(left, right, permute);
        return;
    }
    constexpr uint64_t REACH = uint64_t(1) << (LEAF_LEVEL - 1);
    const Digest* const p = step.below + 2 * entry;
    const Digest left = tip5::hash_pair(load_digest(p), load_digest(p + REACH), permute);
    const Digest right = tip5::hash_pair(load_digest(p + 1), load_digest(p + 1 + REACH), permute);
    if (step.leaves != nullptr) {
        step.leaves[2 * entry] = left;
        step.leaves[2 * entry + 1] = right;
    }
    step.out[entry] = tip5::hash_pair(left, right, permute);
}

}  // namespace window_build
