#include "cli/test_paths.h"

#include "gpu/launch.h"
#include "mining/mining_kernels.h"

uint64_t guesser_tree_height(const GuesserBuffer& buffer)
{
    uint64_t height = 0;
    while (height < 63 && (uint64_t(1) << height) < buffer.num_leafs) ++height;
    return height;
}

void compute_test_paths(const GuesserBuffer& buffer, uint64_t index_a, uint64_t index_b, TestData::Path& path_a,
                        TestData::Path& path_b)
{
    path_a.fill(Digest{});
    path_b.fill(Digest{});
    constexpr size_t PATH_BYTES = TestData::PATH_LENGTH * sizeof(Digest);
    Digest* d_path_a = nullptr;
    Digest* d_path_b = nullptr;
    cudaMalloc(&d_path_a, PATH_BYTES);
    cudaMalloc(&d_path_b, PATH_BYTES);
    // Without both arrays the kernel would write through a null pointer: leave the paths zero.
    if (d_path_a != nullptr && d_path_b != nullptr) {
        // The kernel writes one digest per level; the rest of the 29 stay zero.
        cudaMemset(d_path_a, 0, PATH_BYTES);
        cudaMemset(d_path_b, 0, PATH_BYTES);
        const MerklePathsParams params{buffer.d_merkle_tree, buffer.num_leafs, guesser_tree_height(buffer),
                                       buffer.mast_paths.commit(), index_a, index_b, d_path_a, d_path_b};
        gpu::launch(compute_merkle_paths_kernel, dim3(1), dim3(1), nullptr, params);
        cudaDeviceSynchronize();
        cudaMemcpy(path_a.data(), d_path_a, PATH_BYTES, cudaMemcpyDeviceToHost);
        cudaMemcpy(path_b.data(), d_path_b, PATH_BYTES, cudaMemcpyDeviceToHost);
    }
    cudaFree(d_path_a);
    cudaFree(d_path_b);
}
