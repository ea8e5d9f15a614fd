#include "kernels/pow_kernels.h"

#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "kernels/launch_support.h"
#include "pow/pow_device.cuh"

namespace {

using launch_support::download;
using launch_support::finish_launch;
using launch_support::upload;

constexpr unsigned BLOCK = 64;

__device__ __forceinline__ size_t global_thread()
{
    return static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__global__ void indices_kernel(const Digest* final_hash, const Digest* nonce, uint64_t mask, uint64_t* a, uint64_t* b,
                               size_t n)
{
    size_t i = global_thread();
    if (i < n) Pow_indices_device(final_hash[i], nonce[i], a[i], b[i], mask);
}

__global__ void fast_mast_kernel(const PowMastPaths* paths, const Pow* pows, Digest* out, size_t n)
{
    size_t i = global_thread();
    if (i < n) out[i] = fast_mast_hash_device(paths[i], pows[i]);
}

__global__ void commit_kernel(const PowMastPaths* paths, Digest* out, size_t n)
{
    size_t i = global_thread();
    if (i < n) out[i] = commit_device(paths[i]);
}

unsigned blocks_for(size_t n)
{
    return static_cast<unsigned>((n + BLOCK - 1) / BLOCK);
}

}  // namespace

namespace test_kernels {

cudaError_t pow_indices(const std::vector<Digest>& final_hash, const std::vector<Digest>& nonce, uint64_t index_mask,
                        std::vector<uint64_t>& index_a, std::vector<uint64_t>& index_b)
{
    const size_t n = final_hash.size();
    gpu::DeviceBuffer<Digest> d_final, d_nonce;
    gpu::DeviceBuffer<uint64_t> d_a, d_b;
    cudaError_t status = upload(d_final, final_hash);
    if (status == cudaSuccess) status = upload(d_nonce, nonce);
    if (status == cudaSuccess) status = d_a.allocate(n);
    if (status == cudaSuccess) status = d_b.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(indices_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_final.get(), d_nonce.get(), index_mask,
                d_a.get(), d_b.get(), n);
    status = finish_launch();
    if (status == cudaSuccess) status = download(index_a, d_a);
    if (status == cudaSuccess) status = download(index_b, d_b);
    return status;
}

cudaError_t fast_mast_hashes(const std::vector<PowMastPaths>& paths, const std::vector<Pow>& pows,
                             std::vector<Digest>& out)
{
    const size_t n = paths.size();
    gpu::DeviceBuffer<PowMastPaths> d_paths;
    gpu::DeviceBuffer<Pow> d_pows;
    gpu::DeviceBuffer<Digest> d_out;
    cudaError_t status = upload(d_paths, paths);
    if (status == cudaSuccess) status = upload(d_pows, pows);
    if (status == cudaSuccess) status = d_out.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(fast_mast_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_paths.get(), d_pows.get(), d_out.get(),
                n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

cudaError_t commitments(const std::vector<PowMastPaths>& paths, std::vector<Digest>& out)
{
    const size_t n = paths.size();
    gpu::DeviceBuffer<PowMastPaths> d_paths;
    gpu::DeviceBuffer<Digest> d_out;
    cudaError_t status = upload(d_paths, paths);
    if (status == cudaSuccess) status = d_out.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(commit_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_paths.get(), d_out.get(), n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

}  // namespace test_kernels
