#include "kernels/hash_kernels.h"

#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "hash/digest.h"
#include "hash/field.h"
#include "hash/tip5_device.cuh"
#include "kernels/launch_support.h"

namespace {

using launch_support::download;
using launch_support::finish_launch;
using launch_support::upload;

constexpr unsigned BLOCK = 128;

__device__ __forceinline__ size_t global_thread()
{
    return static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__global__ void permutation_kernel(uint64_t* states, size_t n)
{
    size_t i = global_thread();
    if (i < n) tip5_permutation(states + tip5::STATE_SIZE * i);
}

__global__ void pair_hash_kernel(const uint64_t* left, const uint64_t* right, uint64_t* out, size_t n)
{
    size_t i = global_thread();
    if (i < n) tip5_hash_pair(left + 5 * i, right + 5 * i, out + 5 * i);
}

__global__ void varlen_kernel(const uint64_t* elements, size_t stride, size_t count, uint64_t* out, size_t n)
{
    size_t i = global_thread();
    if (i < n) tip5::hash_varlen(elements + stride * i, count, out + 5 * i, device_tables());
}

__global__ void field_kernel(const uint64_t* a, const uint64_t* b, uint64_t* sum, uint64_t* product,
                             uint64_t* reduced, size_t n)
{
    size_t i = global_thread();
    if (i >= n) return;
    sum[i] = field::add(a[i], b[i]);
    product[i] = field::mont_mul(a[i], b[i]);
    reduced[i] = field::reduce128(a[i], b[i]);
}

__global__ void compare_kernel(const Digest* a, const Digest* b, uint32_t* out, size_t n)
{
    size_t i = global_thread();
    if (i < n) out[i] = digest_less_than_or_equal_device(a[i], b[i]) ? 1u : 0u;
}

unsigned blocks_for(size_t n)
{
    return static_cast<unsigned>((n + BLOCK - 1) / BLOCK);
}

}  // namespace

namespace test_kernels {

cudaError_t tip5_permutations(std::vector<uint64_t>& states)
{
    const size_t n = states.size() / tip5::STATE_SIZE;
    gpu::DeviceBuffer<uint64_t> d_states;
    cudaError_t status = upload(d_states, states);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(permutation_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_states.get(), n);
    status = finish_launch();
    return status == cudaSuccess ? download(states, d_states) : status;
}

cudaError_t tip5_pair_hashes(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right,
                             std::vector<uint64_t>& out)
{
    const size_t n = left.size() / 5;
    gpu::DeviceBuffer<uint64_t> d_left, d_right, d_out;
    cudaError_t status = upload(d_left, left);
    if (status == cudaSuccess) status = upload(d_right, right);
    if (status == cudaSuccess) status = d_out.allocate(left.size());
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(pair_hash_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_left.get(), d_right.get(),
                d_out.get(), n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

cudaError_t tip5_varlen_hashes(const std::vector<uint64_t>& elements, size_t stride, size_t count,
                               std::vector<uint64_t>& out)
{
    const size_t n = stride == 0 ? 0 : elements.size() / stride;
    gpu::DeviceBuffer<uint64_t> d_elements, d_out;
    cudaError_t status = upload(d_elements, elements);
    if (status == cudaSuccess) status = d_out.allocate(5 * n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(varlen_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_elements.get(), stride, count,
                d_out.get(), n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

cudaError_t field_ops(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, FieldResults& out)
{
    const size_t n = a.size();
    gpu::DeviceBuffer<uint64_t> d_a, d_b, d_sum, d_product, d_reduced;
    cudaError_t status = upload(d_a, a);
    if (status == cudaSuccess) status = upload(d_b, b);
    if (status == cudaSuccess) status = d_sum.allocate(n);
    if (status == cudaSuccess) status = d_product.allocate(n);
    if (status == cudaSuccess) status = d_reduced.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(field_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_a.get(), d_b.get(), d_sum.get(),
                d_product.get(), d_reduced.get(), n);
    status = finish_launch();
    if (status == cudaSuccess) status = download(out.sum, d_sum);
    if (status == cudaSuccess) status = download(out.mont_product, d_product);
    if (status == cudaSuccess) status = download(out.reduced, d_reduced);
    return status;
}

cudaError_t digest_comparisons(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b,
                               std::vector<uint32_t>& out)
{
    const size_t n = a.size() / 5;
    std::vector<Digest> da(n), db(n);
    for (size_t i = 0; i < n; ++i)
        for (int k = 0; k < 5; ++k) {
            da[i][k] = a[5 * i + k];
            db[i][k] = b[5 * i + k];
        }
    gpu::DeviceBuffer<Digest> d_a, d_b;
    gpu::DeviceBuffer<uint32_t> d_out;
    cudaError_t status = upload(d_a, da);
    if (status == cudaSuccess) status = upload(d_b, db);
    if (status == cudaSuccess) status = d_out.allocate(n);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(compare_kernel, dim3(blocks_for(n)), dim3(BLOCK), nullptr, d_a.get(), d_b.get(), d_out.get(), n);
    status = finish_launch();
    return status == cudaSuccess ? download(out, d_out) : status;
}

}  // namespace test_kernels
