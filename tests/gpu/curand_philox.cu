#include "curand_philox.h"

#include <curand_kernel.h>

#include "gpu/device_buffer.h"
#include "gpu/launch.h"

namespace {

__global__ void curand_draw_kernel(philox::Words* out, unsigned draws)
{
    const uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    curandStatePhilox4_32_10_t state;
    curand_init(0xDEADBEEFull, g, 0, &state);
    for (unsigned k = 0; k < draws; ++k) {
        const uint4 w = curand4(&state);
        out[static_cast<size_t>(g) * draws + k] = philox::Words{{w.x, w.y, w.z, w.w}};
    }
}

}  // namespace

namespace gpu_check {

cudaError_t curand_philox_draws(unsigned grid, unsigned block, unsigned draws, std::vector<philox::Words>& out)
{
    gpu::DeviceBuffer<philox::Words> d_out;
    cudaError_t status = d_out.allocate(static_cast<size_t>(grid) * block * draws);
    if (status != cudaSuccess) return status;
    gpu::launch(curand_draw_kernel, dim3(grid), dim3(block), nullptr, d_out.get(), draws);
    status = cudaGetLastError();
    if (status == cudaSuccess) status = cudaDeviceSynchronize();
    if (status != cudaSuccess) return status;
    out.resize(d_out.size());
    return cudaMemcpy(out.data(), d_out.get(), d_out.bytes(), cudaMemcpyDeviceToHost);
}

}  // namespace gpu_check
