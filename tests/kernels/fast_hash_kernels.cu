#include "kernels/fast_hash_kernels.h"

#include "gpu/device_buffer.h"
#include "gpu/launch.h"
#include "hash/tip5_device.cuh"
#include "hash/tip5_fast.h"
#include "kernels/launch_support.h"

namespace {

constexpr unsigned BLOCK = 128;

__global__ void fast_permutation_kernel(uint64_t* states, size_t n)
{
    const size_t i = static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) tip5_fast::permutation(states + tip5::STATE_SIZE * i, LOOKUP_TABLE);
}

}  // namespace

namespace test_kernels {

cudaError_t tip5_fast_permutations(std::vector<uint64_t>& states)
{
    const size_t n = states.size() / tip5::STATE_SIZE;
    gpu::DeviceBuffer<uint64_t> d_states;
    cudaError_t status = launch_support::upload(d_states, states);
    if (status != cudaSuccess || n == 0) return status;
    gpu::launch(fast_permutation_kernel, dim3(static_cast<unsigned>((n + BLOCK - 1) / BLOCK)), dim3(BLOCK), nullptr,
                d_states.get(), n);
    status = launch_support::finish_launch();
    return status == cudaSuccess ? launch_support::download(states, d_states) : status;
}

}  // namespace test_kernels
