// The sliding-window build of the guesser leaves, written once for host and device. Leaf j is the
// root over the 32 buds j .. j + 31, and neighbouring windows share their subtrees: with
// P_0(i) = bud(i) and P_k(i) = H(P_{k-1}(i), P_{k-1}(i + 2^(k-1))), indices wrapping at num_leafs,
// leaf(j) = P_5(j). A chunk of C leaves computes level k < 5 at C + 32 - 2^k positions and the
// leaves in pairs with their layer-0 node: 6.5 C + 129 permutations instead of 63.5 C.
#pragma once

#include <algorithm>
#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/tip5.h"
#include "pow/pow.h"
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

// Leaves per chunk of this geometry, and the scratch digests of its two levels in turn.
inline uint64_t chunk_leaves(const GuesserGeometry& geometry)
{
    return std::min(geometry.build.chunk_leaves, geometry.num_leafs());
}
inline uint64_t scratch_digests(const GuesserGeometry& geometry) { return 2 * level_entries(chunk_leaves(geometry), 0); }

// Where the steps write: the node array (layer 0), the stored leaves (the first `stored` of them, a
// whole number of chunks; null when none) and the scratch.
struct WindowArrays {
    Digest* nodes;
    Digest* leaves;
    Digest* scratch;
    uint64_t stored = 0;
};

// The steps of the whole leaf build in order: chunk by chunk, level by level, each level cut into
// steps of at most the configured permutations. `run(step)` runs one step and `chunk_done()`
// follows each chunk; either returns false to stop the build, and so does this.
template <typename Run, typename ChunkDone>
bool for_each_window_step(const Digest& commitment, const WindowArrays& arrays, const GuesserGeometry& geometry,
                          Run&& run, ChunkDone&& chunk_done)
{
    const uint64_t n = geometry.num_leafs();
    const uint64_t chunk = chunk_leaves(geometry);
    Digest* const levels[2] = {arrays.scratch, arrays.scratch + level_entries(chunk, 0)};
    WindowStep step;
    step.commitment = commitment;
    step.leaf_mask = n - 1;
    for (step.first = 0; step.first < n; step.first += chunk) {
        for (step.level = 0; step.level <= LEAF_LEVEL; ++step.level) {
            const bool leaf_level = step.level == LEAF_LEVEL;
            step.below = levels[(step.level + 1) % 2];
            step.out = leaf_level ? arrays.nodes + n / 2 + step.first / 2 : levels[step.level % 2];
            step.leaves = leaf_level && step.first < arrays.stored ? arrays.leaves + step.first : nullptr;
            const uint64_t entries = level_entries(chunk, step.level);
            const uint64_t per_step =
                std::max<uint64_t>(1, geometry.build.launch_permutations / entry_permutations(step.level));
            for (step.begin = 0; step.begin < entries; step.begin += per_step) {
                step.count = std::min(per_step, entries - step.begin);
                if (!run(static_cast<const WindowStep&>(step))) return false;
            }
        }
        if (!chunk_done()) return false;
    }
    return true;
}

}  // namespace window_build
