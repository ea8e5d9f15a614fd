#include "kernels/emulator_kernels.h"

#include "gpu/launch.h"

namespace {

__global__ void index_kernel(uint32_t* out, uint32_t* bad_dims, dim3 expected_grid, dim3 expected_block)
{
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    out[i] = (blockIdx.x << 16) | threadIdx.x;
    if (gridDim.x != expected_grid.x || blockDim.x != expected_block.x) atomicCAS(bad_dims, 0u, 1u);
}

__global__ void claim_kernel(unsigned int* flag, unsigned int* claims, unsigned long long* last)
{
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (atomicCAS(flag, 0u, 1u) == 0u) {
        // exactly one thread gets here
        unsigned old;
        do {
            old = *claims;
        } while (atomicCAS(claims, old, old + 1) != old);
    }
    atomicExch(last, static_cast<unsigned long long>(i) + 1);
}

}  // namespace

namespace test_kernels {

void launch_index_kernel(dim3 grid, dim3 block, uint32_t* d_out, uint32_t* d_bad_dims)
{
    gpu::launch(index_kernel, grid, block, nullptr, d_out, d_bad_dims, grid, block);
}

void launch_claim_kernel(dim3 grid, dim3 block, unsigned int* d_flag, unsigned int* d_claims,
                         unsigned long long* d_last)
{
    gpu::launch(claim_kernel, grid, block, nullptr, d_flag, d_claims, d_last);
}

}  // namespace test_kernels
