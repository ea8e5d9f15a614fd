#include "cli/test_paths.h"

#include "diag/debug.h"
#include "gpu/device_buffer.h"
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
    gpu::DeviceBuffer<Digest> d_path_a;
    gpu::DeviceBuffer<Digest> d_path_b;
    // The kernel writes one digest per level; the rest of the 29 stay zero.
    const bool ready = crv_cuda_ok(d_path_a.allocate(TestData::PATH_LENGTH), "malloc d_path_a") &&
                       crv_cuda_ok(d_path_b.allocate(TestData::PATH_LENGTH), "malloc d_path_b") &&
                       crv_cuda_ok(cudaMemset(d_path_a.get(), 0, d_path_a.bytes()), "memset d_path_a") &&
                       crv_cuda_ok(cudaMemset(d_path_b.get(), 0, d_path_b.bytes()), "memset d_path_b");
    if (!ready) return;
    const MerklePathsParams params{buffer.d_merkle_tree, buffer.num_leafs, guesser_tree_height(buffer),
                                   buffer.mast_paths.commit(), index_a, index_b, d_path_a.get(), d_path_b.get()};
    gpu::launch(compute_merkle_paths_kernel, dim3(1), dim3(1), nullptr, params);
    if (!crv_cuda_ok(cudaGetLastError(), "launch compute_merkle_paths") ||
        !crv_cuda_ok(cudaDeviceSynchronize(), "sync compute_merkle_paths"))
        return;
    crv_cuda_ok(cudaMemcpy(path_a.data(), d_path_a.get(), d_path_a.bytes(), cudaMemcpyDeviceToHost), "copy path a");
    crv_cuda_ok(cudaMemcpy(path_b.data(), d_path_b.get(), d_path_b.bytes(), cudaMemcpyDeviceToHost), "copy path b");
}
