// What a guesser buffer needs of device memory, and the choice it leads to: store the leaves beside
// the nodes, compute them on the fly, or do not build at all.
#pragma once

#include <cstdint>
#include <optional>

#include "diag/gpu_status.h"
#include "pow/pow.h"

struct BufferFootprint {
    uint64_t nodes = 0;    // the node array
    uint64_t leaves = 0;   // the stored leaves
    uint64_t scratch = 0;  // two window levels of one chunk, during the build only
    uint64_t margin = 0;   // left free beside the buffer

    uint64_t needed(LeafStorage storage) const
    {
        return nodes + (storage == LeafStorage::Stored ? leaves : 0) + scratch + margin;
    }
};

BufferFootprint buffer_footprint(const GuesserGeometry& geometry);

// Stored or Computed: the storage asked for, or for Auto the stored leaves when they fit and the
// computed ones otherwise. Nothing when that does not fit in `free_bytes`.
std::optional<LeafStorage> fitting_leaf_storage(const BufferFootprint& footprint, uint64_t free_bytes,
                                                LeafStorage requested);

// The same decision against the current device's free memory. When nothing fits, one line on
// standard error names the GPU, the bytes needed and free, and what to do. A failed query is kept
// in `status`.
std::optional<LeafStorage> plan_leaf_storage(const GuesserGeometry& geometry, GpuStatus& status);
