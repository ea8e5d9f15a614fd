// What a guesser buffer needs of device memory, and the choice it leads to: how many of the leaves
// to store beside the nodes (all, the first part, none: the kernels build the others on the fly),
// or not to build at all.
#pragma once

#include <cstdint>
#include <optional>

#include "diag/gpu_status.h"
#include "pow/pow.h"

struct BufferFootprint {
    uint64_t nodes = 0;        // the node array
    uint64_t leaf_bytes = 0;   // one stored leaf
    uint64_t num_leafs = 0;
    uint64_t chunk_leafs = 0;  // leaves are stored a whole build chunk at a time
    uint64_t scratch = 0;      // two window levels of one chunk, during the build only
    uint64_t margin = 0;       // left free beside the buffer

    uint64_t needed(uint64_t stored_leafs) const { return nodes + stored_leafs * leaf_bytes + scratch + margin; }
};

BufferFootprint buffer_footprint(const GuesserGeometry& geometry);

// How many leaves to store, a whole number of chunks from the first leaf on: Stored all of them,
// Computed none, Partial its share of them (or with share 0 as many as fit), Auto all when they fit
// and else as many as fit. Nothing when that does not fit in `free_bytes`.
std::optional<uint64_t> fitting_stored_leafs(const BufferFootprint& footprint, uint64_t free_bytes,
                                             const GuesserBuildConfig& build);

// The same decision against the current device's free memory. When nothing fits, one line on
// standard error names the GPU, the bytes needed and free, and what to do. A failed query is kept
// in `status`.
std::optional<uint64_t> plan_stored_leafs(const GuesserGeometry& geometry, GpuStatus& status);
