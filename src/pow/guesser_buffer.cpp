#include "pow/guesser_buffer.h"

#include <iostream>
#include <string>
#include <utility>

std::unique_ptr<GuesserBuffer> current_buffer;

GuesserBuffer::GuesserBuffer(GuesserBuffer&& other) noexcept
    : merkle_root(other.merkle_root),
      final_hash(other.final_hash),
      mast_paths(other.mast_paths),
      d_merkle_tree(std::exchange(other.d_merkle_tree, nullptr)),
      merkle_tree_size(std::exchange(other.merkle_tree_size, 0)),
      d_leafs(std::exchange(other.d_leafs, nullptr)),
      num_leafs(std::exchange(other.num_leafs, 0))
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
        num_leafs = std::exchange(other.num_leafs, 0);
    }
    return *this;
}

void GuesserBuffer::cleanup()
{
    if (d_merkle_tree != nullptr) {
        const cudaError_t status = cudaFree(d_merkle_tree);
        if (status != cudaSuccess)
            std::cerr << "Warning: Failed to free d_merkle_tree: " << cudaGetErrorString(status) << std::endl;
        d_merkle_tree = nullptr;
        merkle_tree_size = 0;
    }
    if (d_leafs != nullptr) {
        const cudaError_t status = cudaFree(d_leafs);
        if (status != cudaSuccess)
            std::cerr << "Warning: Failed to free d_leafs: " << cudaGetErrorString(status) << std::endl;
        d_leafs = nullptr;
        num_leafs = 0;
    }
}

bool preprocessPuzzle(const PowPuzzle& puzzle, const GuesserGeometry& geometry)
{
    std::cout << "\n=== STARTING GPU PREPROCESSING ===" << std::endl;
    const PowMastPaths mast_paths = convertToPowMastPaths(puzzle.auth_paths);

    const std::string& text = puzzle.threshold;
    const bool array_form = !text.empty() && text.front() == '[' && text.back() == ']';
    const Digest threshold = array_form ? arrayStringToDigest(text) : hex_to_digest(text);
    std::cout << "Threshold: " << text << std::endl;
    std::cout << "Target: 0x" << std::hex << threshold[4] << std::dec << std::endl;

    GuesserBuffer buffer = Pow::preprocess_gpu(mast_paths, geometry);
    if (buffer.d_merkle_tree == nullptr) {
        std::cerr << "✗ GPU preprocessing failed!" << std::endl;
        return false;
    }
    // The previous buffer is destroyed (and its device memory freed) once the new one is in place.
    current_buffer = std::make_unique<GuesserBuffer>(std::move(buffer));
    return true;
}

void cleanup_gpu_memory()
{
    std::cout << "Cleaning up GPU memory..." << std::endl;
    if (current_buffer) {
        std::cout << "Cleaning up current mining buffer..." << std::endl;
        current_buffer->cleanup();
        current_buffer.reset();
    }

    cudaError_t status = cudaDeviceSynchronize();
    if (status != cudaSuccess)
        std::cerr << "Warning: CUDA synchronization error during cleanup: " << cudaGetErrorString(status) << std::endl;
    status = cudaGetLastError();
    if (status != cudaSuccess) std::cout << "Cleared pending CUDA error: " << cudaGetErrorString(status) << std::endl;
    status = cudaDeviceReset();
    if (status != cudaSuccess)
        std::cerr << "Warning: CUDA device reset error: " << cudaGetErrorString(status) << std::endl;
    else
        std::cout << "✓ GPU memory cleanup completed successfully" << std::endl;

    size_t free_bytes = 0;
    size_t total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) == cudaSuccess) {
        std::cout << "GPU memory status after cleanup:" << std::endl;
        std::cout << "  Free: " << (free_bytes >> 20) << " MB" << std::endl;
        std::cout << "  Total: " << (total_bytes >> 20) << " MB" << std::endl;
        std::cout << "  Used: " << ((total_bytes - free_bytes) >> 20) << " MB" << std::endl;
    }
}
