// One launch of parallel_mining_kernel over an installed guesser buffer, with the solution record
// allocated once (the benchmark times launches, not allocations).
#pragma once

#include <cstdint>

#include "gpu/device_buffer.h"
#include "mining/mining_kernel_choice.h"
#include "pow/guesser_buffer.h"

class MiningBatchRunner {
public:
    cudaError_t allocate();
    // Launches grid x block threads over count candidates and waits; found = the record's flag.
    cudaError_t run(const GuesserBuffer& buffer, const Digest& threshold, uint64_t start_nonce, uint64_t count,
                    unsigned grid, unsigned block, MiningKernel kernel, int& found);

private:
    gpu::DeviceBuffer<uint64_t> nonce_;
    gpu::DeviceBuffer<int> found_;
    gpu::DeviceBuffer<Digest> path_a_, path_b_, nonce_digest_;
};
