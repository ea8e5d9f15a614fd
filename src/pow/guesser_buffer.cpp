#include "pow/guesser_buffer.h"

#include <iostream>
#include <string>
#include <utility>

#include "diag/console_line.h"

GuesserBuffer::GuesserBuffer(GuesserBuffer&& other) noexcept
    : merkle_root(other.merkle_root),
      final_hash(other.final_hash),
      mast_paths(other.mast_paths),
      d_merkle_tree(std::exchange(other.d_merkle_tree, nullptr)),
      merkle_tree_size(std::exchange(other.merkle_tree_size, 0)),
      d_leafs(std::exchange(other.d_leafs, nullptr)),
      stored_leafs(std::exchange(other.stored_leafs, 0)),
      num_leafs(std::exchange(other.num_leafs, 0)),
      tree_height(std::exchange(other.tree_height, 0))
{
}

GuesserBuffer& GuesserBuffer::operator=(GuesserBuffer&& other) noexcept
{
    if (this != &other) {
        cleanup();
        merkle_root = other.merkle_root;
        final_hash = other.final_hash;
        mast_paths = other.mast_paths;
        d_merkle_tree = std::exchange(other.d_merkle_tree, nullptr);
        merkle_tree_size = std::exchange(other.merkle_tree_size, 0);
        d_leafs = std::exchange(other.d_leafs, nullptr);
        stored_leafs = std::exchange(other.stored_leafs, 0);
        num_leafs = std::exchange(other.num_leafs, 0);
        tree_height = std::exchange(other.tree_height, 0);
    }
    return *this;
}

void GuesserBuffer::cleanup()
{
    if (d_merkle_tree != nullptr) {
        const cudaError_t status = cudaFree(d_merkle_tree);
        if (status != cudaSuccess) print_parts(std::cerr, "Warning: Failed to free d_merkle_tree: ", cudaGetErrorString(status));
        d_merkle_tree = nullptr;
        merkle_tree_size = 0;
    }
    if (d_leafs != nullptr) {
        const cudaError_t status = cudaFree(d_leafs);
        if (status != cudaSuccess) print_parts(std::cerr, "Warning: Failed to free d_leafs: ", cudaGetErrorString(status));
        d_leafs = nullptr;
        stored_leafs = 0;
        num_leafs = 0;
    }
}

std::string leaf_mode(const GuesserBuffer& buffer)
{
    if (buffer.stored_leafs == 0) return "computed";
    if (buffer.stored_leafs >= buffer.num_leafs) return "stored";
    return "partial " + std::to_string(buffer.stored_leafs * 100 / buffer.num_leafs) + "%";
}

std::string leaf_mode_text(const GuesserBuffer& buffer)
{
    if (buffer.stored_leafs == 0) return "leaves computed on the fly";
    if (buffer.stored_leafs >= buffer.num_leafs) return "leaves stored in GPU memory";
    return std::to_string(buffer.stored_leafs * 100 / buffer.num_leafs) +
           "% of the leaves stored in GPU memory, the others computed on the fly";
}

bool built_for(const GuesserBuffer& buffer, const PowMastPaths& paths, uint64_t tree_height)
{
    const PowMastPaths& a = buffer.mast_paths;
    return buffer.d_merkle_tree != nullptr && buffer.tree_height == tree_height && a.pow[0] == paths.pow[0] &&
           a.pow[1] == paths.pow[1] && a.pow[2] == paths.pow[2] && a.header[0] == paths.header[0] &&
           a.header[1] == paths.header[1] && a.kernel[0] == paths.kernel[0];
}

bool buildGuesserBuffer(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry, GuesserBuffer& out,
                        GpuStatus& status)
{
    print_line(std::cout, "\n=== STARTING GPU PREPROCESSING ===");
    print_line(std::cout, "Threshold: " + puzzle.threshold_text);
    print_parts(std::cout, "Target: 0x", std::hex, puzzle.threshold[4], std::dec);

    GuesserBuffer buffer = Pow::preprocess_gpu(puzzle.mast_paths, geometry, status);
    if (buffer.d_merkle_tree == nullptr) {
        print_line(std::cerr, "✗ GPU preprocessing failed!");
        return false;
    }
    print_line(std::cout, "Mining mode: " + leaf_mode_text(buffer));
    out = std::move(buffer);
    return true;
}

void cleanup_gpu_memory(GuesserBuffer& buffer)
{
    print_line(std::cout, "Cleaning up GPU memory...");
    if (buffer.d_merkle_tree != nullptr || buffer.d_leafs != nullptr) {
        print_line(std::cout, "Cleaning up current mining buffer...");
        buffer.cleanup();
    }

    cudaError_t status = cudaDeviceSynchronize();
    if (status != cudaSuccess)
        print_parts(std::cerr, "Warning: CUDA synchronization error during cleanup: ", cudaGetErrorString(status));
    status = cudaGetLastError();
    if (status != cudaSuccess) print_parts(std::cout, "Cleared pending CUDA error: ", cudaGetErrorString(status));
    status = cudaDeviceReset();
    if (status != cudaSuccess)
        print_parts(std::cerr, "Warning: CUDA device reset error: ", cudaGetErrorString(status));
    else
        print_line(std::cout, "✓ GPU memory cleanup completed successfully");

    size_t free_bytes = 0;
    size_t total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) == cudaSuccess) {
        print_line(std::cout, "GPU memory status after cleanup:");
        print_parts(std::cout, "  Free: ", free_bytes >> 20, " MB");
        print_parts(std::cout, "  Total: ", total_bytes >> 20, " MB");
        print_parts(std::cout, "  Used: ", (total_bytes - free_bytes) >> 20, " MB");
    }
}
