// The device side of one card's search, made once for each guesser buffer and kept while the card
// mines with it: the launch geometry, the mining stream and two solution records (one batch
// running, the next queued behind it) with their results in pinned memory. Made anew for every
// range, they would cost the card a wait at every range boundary.
#pragma once

#include <cstdint>

#include "diag/gpu_status.h"
#include "gpu/device_buffer.h"
#include "gpu/pinned_buffer.h"
#include "gpu/runtime.h"
#include "hash/digest.h"
#include "mining/mining_kernel_choice.h"

// Launch geometry of parallel_mining_kernel on the current device.
struct MiningLaunch {
    int block_size = 256;
    int blocks_per_multiprocessor = 4;
    int multiprocessors = 1;
    int warp_size = 32;
    int max_threads_per_multiprocessor = 0;
    int grid_floor = 1;
    uint64_t batch = 0;  // candidates per launch: one wave of resident threads, at most max_batch

    // Blocks for a launch of `count` candidates: at least twice the resident blocks.
    unsigned int grid_for(uint64_t count) const;
};

// Block-size search and occupancy query for `kernel`, its block size capped at its launch bound, with
// their fallbacks (that bound, 4 blocks per multiprocessor) when a query fails.
MiningLaunch sizeMiningLaunch(uint64_t max_batch, MiningKernel kernel = MiningKernel::fast);

// Where a batch's kernel writes a hit.
struct SolutionRecord {
    gpu::DeviceBuffer<uint64_t> nonce;
    gpu::DeviceBuffer<int> found;
    gpu::DeviceBuffer<Digest> path_a;
    gpu::DeviceBuffer<Digest> path_b;
    gpu::DeviceBuffer<Digest> nonce_digest;
};

// What the host reads of a batch's record after every batch; the paths only after a hit.
struct BatchResult {
    int found;
    uint64_t nonce;
    Digest nonce_digest;
};

class BatchPipeline {
public:
    static constexpr int SLOTS = 2;

    BatchPipeline() = default;
    BatchPipeline(const BatchPipeline&) = delete;
    BatchPipeline& operator=(const BatchPipeline&) = delete;
    ~BatchPipeline() { release(); }

    // Sizes the launch of `kernel` on the current device and allocates everything there. A failure
    // is reported, kept in status() and leaves nothing allocated.
    bool prepare(uint64_t max_batch, MiningKernel kernel);
    bool ready() const { return stream != nullptr; }
    // Frees everything on the device it was prepared on; the status stays.
    void release();

    MiningKernel kernel = MiningKernel::fast;
    MiningLaunch launch;
    SolutionRecord records[SLOTS];
    gpu::PinnedBuffer<BatchResult> results;  // one per slot
    cudaStream_t stream = nullptr;
    cudaEvent_t copied[SLOTS] = {};  // recorded behind each batch's result copies
    GpuStatus status;                // the first failure of any work on the pipeline
};
