#include "kernels/mining_kernels.h"

#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "kernels/launch_support.h"
#include "mining/mining_hash.h"
#include "mining/mining_kernels.h"
#include "mining/philox.h"

namespace {

using launch_support::download;
using launch_support::finish_launch;
using launch_support::upload;

constexpr unsigned BLOCK = 64;

__global__ void philox_draw_kernel(philox::Words* out, unsigned draws, size_t threads)
{
    const uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    if (g >= threads) return;
    philox::Stream random = philox::Stream::start(philox::MINING_SEED, g);
    for (unsigned k = 0; k < draws; ++k) out[static_cast<size_t>(g) * draws + k] = random.next();
}

__global__ void threshold_kernel(const Digest* hash, const Digest* threshold, uint8_t* out, size_t n)
{
    const size_t i = static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) out[i] = digest_less_than_or_equal_device(hash[i], threshold[i]) ? 1 : 0;
}

}  // namespace

namespace test_kernels {

cudaError_t mine_batch(const MiningBatch& batch, MiningRecord& record)
{
    gpu::DeviceBuffer<Digest> d_nodes, d_leafs, d_path_a, d_path_b, d_nonce_digest;
    gpu::DeviceBuffer<uint64_t> d_nonce;
    gpu::DeviceBuffer<int> d_found;
    cudaError_t status = batch.d_nodes == nullptr ? upload(d_nodes, batch.nodes) : cudaSuccess;
    if (status == cudaSuccess) status = upload(d_leafs, batch.leafs);
    if (status == cudaSuccess) status = d_nonce.allocate(1);
    if (status == cudaSuccess) status = d_found.allocate(1);
    if (status == cudaSuccess) status = d_path_a.allocate(GUESSER_TREE_HEIGHT);
    if (status == cudaSuccess) status = d_path_b.allocate(GUESSER_TREE_HEIGHT);
    if (status == cudaSuccess) status = d_nonce_digest.allocate(1);
    if (status == cudaSuccess) status = cudaMemset(d_found.get(), 0, d_found.bytes());
    if (status == cudaSuccess) status = cudaMemset(d_nonce.get(), 0, d_nonce.bytes());
    if (status == cudaSuccess) status = cudaMemset(d_nonce_digest.get(), 0, d_nonce_digest.bytes());
    if (status == cudaSuccess) status = cudaMemset(d_path_a.get(), PATH_FILL, d_path_a.bytes());
    if (status == cudaSuccess) status = cudaMemset(d_path_b.get(), PATH_FILL, d_path_b.bytes());
    if (status != cudaSuccess) return status;

    const Digest* nodes = batch.d_nodes != nullptr ? batch.d_nodes : d_nodes.get();
    gpu::launch(parallel_mining_kernel, dim3(batch.grid), dim3(batch.block), nullptr,
                static_cast<const Digest*>(d_leafs.get()), nodes, batch.final_hash, batch.threshold, batch.start_nonce,
                batch.num_nonces, batch.num_leafs, batch.tree_height, batch.mast_paths, d_nonce.get(),
                d_found.get(), d_path_a.get(), d_path_b.get(), d_nonce_digest.get());
    status = finish_launch();
    if (status == cudaSuccess) status = cudaMemcpy(&record.found, d_found.get(), sizeof(int), cudaMemcpyDeviceToHost);
    if (status == cudaSuccess)
        status = cudaMemcpy(&record.nonce, d_nonce.get(), sizeof(uint64_t), cudaMemcpyDeviceToHost);
    if (status == cudaSuccess)
        status = cudaMemcpy(&record.nonce_digest, d_nonce_digest.get(), sizeof(Digest), cudaMemcpyDeviceToHost);
    if (status == cudaSuccess) status = download(record.path_a, d_path_a);
    if (status == cudaSuccess) status = download(record.path_b, d_path_b);
    return status;
}

cudaError_t merkle_paths(const std::vector<Digest>& nodes, const std::vector<Digest>& leafs, uint64_t index_a,
                         uint64_t index_b, uint64_t num_leafs, uint64_t tree_height, const Digest& commitment,
                         std::vector<Digest>& path_a, std::vector<Digest>& path_b)
{
    gpu::DeviceBuffer<Digest> d_nodes;
    cudaError_t status = upload(d_nodes, nodes);
    if (status != cudaSuccess) return status;
    return merkle_paths(d_nodes.get(), leafs, index_a, index_b, num_leafs, tree_height, commitment, path_a, path_b);
}

cudaError_t merkle_paths(const Digest* d_nodes, const std::vector<Digest>& leafs, uint64_t index_a, uint64_t index_b,
                         uint64_t num_leafs, uint64_t tree_height, const Digest& commitment,
                         std::vector<Digest>& path_a, std::vector<Digest>& path_b)
{
    gpu::DeviceBuffer<Digest> d_leafs, d_path_a, d_path_b;
    cudaError_t status = upload(d_leafs, leafs);
    if (status == cudaSuccess) status = d_path_a.allocate(tree_height);
    if (status == cudaSuccess) status = d_path_b.allocate(tree_height);
    if (status != cudaSuccess) return status;
    gpu::launch(compute_merkle_paths_kernel, dim3(1), dim3(1), nullptr, static_cast<const Digest*>(d_leafs.get()),
                d_nodes, index_a, index_b, num_leafs, tree_height, commitment, d_path_a.get(), d_path_b.get());
    status = finish_launch();
    if (status == cudaSuccess) status = download(path_a, d_path_a);
    if (status == cudaSuccess) status = download(path_b, d_path_b);
    return status;
}

cudaError_t philox_draws(unsigned grid, unsigned block, unsigned draws, std::vector<philox::Words>& out)
{
    const size_t threads = static_cast<size_t>(grid) * block;
    gpu::DeviceBuffer<philox::Words> d_out;
    cudaError_t status = d_out.allocate(threads * draws);
    if (status != cudaSuccess) return status;
    gpu::launch(philox_draw_kernel, dim3(grid), dim3(block), nullptr, d_out.get(), draws, threads);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

cudaError_t threshold_tests(const std::vector<Digest>& hash, const std::vector<Digest>& threshold,
                            std::vector<uint8_t>& out)
{
    const size_t n = hash.size();
    gpu::DeviceBuffer<Digest> d_hash, d_threshold;
    gpu::DeviceBuffer<uint8_t> d_out;
    cudaError_t status = upload(d_hash, hash);
    if (status == cudaSuccess) status = upload(d_threshold, threshold);
    if (status == cudaSuccess) status = d_out.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(threshold_kernel, dim3(static_cast<unsigned>((n + BLOCK - 1) / BLOCK)), dim3(BLOCK), nullptr,
                static_cast<const Digest*>(d_hash.get()), static_cast<const Digest*>(d_threshold.get()), d_out.get(),
                n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

}  // namespace test_kernels
