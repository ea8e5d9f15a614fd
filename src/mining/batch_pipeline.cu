#include "mining/batch_pipeline.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "mining/mining_kernels.h"
#include "pow/pow.h"

namespace {

constexpr int FALLBACK_BLOCKS_PER_MULTIPROCESSOR = 4;

template <typename T>
bool allocate_one(gpu::DeviceBuffer<T>& buffer, size_t count, const char* name, GpuStatus& status)
{
    return status.check(buffer.allocate(count), std::string("CUDA malloc failed for ") + name + ": ", "malloc");
}

// In the order of the record.
bool allocate(SolutionRecord& record, GpuStatus& status)
{
    return allocate_one(record.nonce, 1, "d_solution_nonce", status) &&
           allocate_one(record.found, 1, "d_solution_found", status) &&
           allocate_one(record.path_a, GUESSER_TREE_HEIGHT, "d_solution_path_a", status) &&
           allocate_one(record.path_b, GUESSER_TREE_HEIGHT, "d_solution_path_b", status) &&
           allocate_one(record.nonce_digest, 1, "d_solution_nonce_digest", status);
}

void release(SolutionRecord& record)
{
    record.nonce_digest.reset();
    record.path_b.reset();
    record.path_a.reset();
    record.found.reset();
    record.nonce.reset();
}

void print_occupancy(const MiningLaunch& launch)
{
    const int warp = std::max(1, launch.warp_size);
    const int active_warps = launch.blocks_per_multiprocessor * (launch.block_size / warp);
    const int max_warps = std::max(1, launch.max_threads_per_multiprocessor / warp);
    const float percent = static_cast<float>(active_warps) * 100.0f / static_cast<float>(max_warps);
    std::ostringstream line;
    line << "Occupancy: blocks/SM=" << launch.blocks_per_multiprocessor << ", active warps/SM=" << active_warps << "/"
         << max_warps << " (" << std::fixed << std::setprecision(1) << percent << "%)";
    print_line(std::cout, line.str());
}

}  // namespace

unsigned int MiningLaunch::grid_for(uint64_t count) const
{
    const uint64_t resident = 2 * uint64_t(std::max(1, blocks_per_multiprocessor)) * uint64_t(multiprocessors);
    const uint64_t needed = (count + uint64_t(block_size) - 1) / uint64_t(block_size);
    return static_cast<unsigned int>(std::max({resident, uint64_t(multiprocessors), uint64_t(grid_floor), needed}));
}

MiningLaunch sizeMiningLaunch(uint64_t max_batch, MiningKernel kernel)
{
    const MiningKernelChoice chosen = mining_kernel(kernel);
    MiningLaunch launch;
    int device = 0;
    cudaDeviceProp properties{};
    if (crv_cuda_ok(cudaGetDevice(&device), "get device") &&
        crv_cuda_ok(cudaGetDeviceProperties(&properties, device), "get device properties")) {
        launch.multiprocessors = std::max(1, properties.multiProcessorCount);
        launch.warp_size = std::max(1, properties.warpSize);
        launch.max_threads_per_multiprocessor = properties.maxThreadsPerMultiProcessor;
    }

    // A failed query is reported and its fallback taken; nothing stays pending for the launch check.
    int min_grid_size = 0;
    int block_size = 0;
    if (crv_cuda_ok(cudaOccupancyMaxPotentialBlockSize(&min_grid_size, &block_size, chosen.function, 0, 0),
                    "occupancy block size")) {
        launch.block_size = block_size < 1 ? chosen.max_block_size : std::min(block_size, chosen.max_block_size);
    } else {
        launch.block_size = chosen.max_block_size;
        min_grid_size = 0;
    }

    int blocks = 0;
    const bool counted = crv_cuda_ok(
        cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, chosen.function, launch.block_size, 0),
        "occupancy blocks per multiprocessor");
    launch.blocks_per_multiprocessor = counted && blocks >= 1 ? blocks : FALLBACK_BLOCKS_PER_MULTIPROCESSOR;

    const int active_blocks = launch.blocks_per_multiprocessor * launch.multiprocessors;
    launch.grid_floor = min_grid_size > 0 ? min_grid_size : std::max(active_blocks, 1);
    const uint64_t wave = uint64_t(launch.blocks_per_multiprocessor) * uint64_t(launch.multiprocessors) *
                          uint64_t(launch.block_size);
    launch.batch = std::max<uint64_t>(1, std::min(wave, max_batch));
    return launch;
}

bool BatchPipeline::prepare(uint64_t max_batch, MiningKernel chosen)
{
    release();
    status = GpuStatus{};
    kernel = chosen;
    launch = sizeMiningLaunch(max_batch, kernel);
    if (crv_debug_runtime_enabled()) print_occupancy(launch);
    bool made = true;
    for (SolutionRecord& record : records) made = made && allocate(record, status);
    made = made && status.check(results.allocate(SLOTS), "CUDA host alloc failed for the batch results: ", "host alloc");
    cudaStream_t created = nullptr;
    made = made && status.check(cudaStreamCreate(&created), "create mining stream");
    stream = created;
    for (cudaEvent_t& event : copied)
        made = made && status.check(cudaEventCreateWithFlags(&event, cudaEventDisableTiming), "create batch event");
    if (!made) release();
    return made;
}

void BatchPipeline::release()
{
    for (cudaEvent_t& event : copied) {
        if (event != nullptr) crv_cuda_ok(cudaEventDestroy(event), "destroy batch event");
        event = nullptr;
    }
    if (stream != nullptr) crv_cuda_ok(cudaStreamDestroy(stream), "destroy mining stream");
    stream = nullptr;
    results.reset();
    for (SolutionRecord& record : records) ::release(record);
}
