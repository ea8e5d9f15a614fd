// Only on a real GPU (scripts/gpu-check.sh, which runs the device tests of the host build here too
// and then the product tree through `corvane-miner --test`): our Philox against cuRAND's.
#include <curand_kernel.h>

#include <cstring>

#include "mining/philox.h"
#include "support/device_test.h"

namespace {

__global__ void curand_draws_kernel(philox::Words* out, unsigned draws)
{
    const uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    curandStatePhilox4_32_10_t state;
    curand_init(0xDEADBEEFull, g, 0, &state);
    for (unsigned k = 0; k < draws; ++k) {
        const uint4 w = curand4(&state);
        out[size_t(g) * draws + k] = philox::Words{{w.x, w.y, w.z, w.w}};
    }
}

TEST_F(DeviceTest, PhiloxMatchesCuRandPhilox4x32_10)
{
    const unsigned grid = 1024, block = 256, draws = 3;  // subsequences up to 262143
    gpu::DeviceBuffer<philox::Words> d_out;
    ASSERT_EQ(d_out.allocate(size_t(grid) * block * draws), cudaSuccess);
    curand_draws_kernel<<<grid, block>>>(d_out.get(), draws);
    ASSERT_EQ(support::finish_launch(), cudaSuccess);
    const std::vector<philox::Words> theirs = support::to_host(d_out.get(), d_out.size());
    for (uint32_t g = 0; g < grid * block; ++g) {
        philox::Stream ours = philox::Stream::start(philox::MINING_SEED, g);
        for (uint32_t k = 0; k < draws; ++k) {
            const philox::Words w = ours.next();
            ASSERT_EQ(std::memcmp(&theirs[size_t(g) * draws + k], &w, sizeof w), 0) << g << "/" << k;
        }
    }
}

}  // namespace
