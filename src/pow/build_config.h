// How a guesser buffer is built: whether its leaves are stored beside the nodes, and the sizes that
// bound the build's scratch memory and the length of each of its launches. The product runs the
// defaults; tests shrink them and the bench forces a leaf storage.
#pragma once

#include <cstdint>

enum class LeafStorage {
    Auto,      // stored when nodes, leaves and the build's scratch fit, else as many as fit
    Stored,    // the build writes the leaves; the kernels read the sibling leaf
    Computed,  // the kernels rebuild the sibling leaf of every candidate
    Partial,   // the first leaves are stored (stored_share of them, or as many as fit), the rest rebuilt
};

struct GuesserBuildConfig {
    LeafStorage leaves = LeafStorage::Auto;

    // Leaves per window chunk, a power of two. The scratch holds two levels of (chunk + 31)
    // digests: 2 x (2^23 + 31) x 40 bytes = 640 MiB, so a 24 GB card still holds the 20 GiB of
    // nodes beside it.
    uint64_t chunk_leaves = uint64_t(1) << 23;

    // Permutations one launch may run, against the watchdog of display GPUs (about 2 s). Estimate:
    // an H100 issues about 3.3e13 thread instructions/s; at 8,283 SASS instructions per fast
    // permutation and ~60% issue efficiency that is ~2.4e9 permutations/s, so 2^24 take ~7 ms, and
    // still ~34 ms on a card five times slower.
    uint64_t launch_permutations = uint64_t(1) << 24;

    // Free memory that must remain beside the buffer: the mining kernels' local memory and the
    // driver's small per-range arrays.
    uint64_t memory_margin = uint64_t(512) << 20;

    // Partial only: the share of the leaves to store, above 0 and below 1; 0: as many as fit.
    double stored_share = 0;

    constexpr bool valid() const
    {
        return chunk_leaves >= 2 && (chunk_leaves & (chunk_leaves - 1)) == 0 && launch_permutations >= 1 &&
               launch_permutations <= (uint64_t(1) << 31);
    }
};
