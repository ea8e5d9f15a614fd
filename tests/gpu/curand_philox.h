// cuRAND's own Philox4_32_10 on the device, as the reference for the miner's generator.
#pragma once

#include <vector>

#include "gpu/runtime.h"
#include "mining/philox.h"

namespace gpu_check {

// Thread g: curand_init(0xDEADBEEF, g, 0, &state), then `draws` calls of curand4;
// out[g * draws + k] is the k-th.
cudaError_t curand_philox_draws(unsigned grid, unsigned block, unsigned draws, std::vector<philox::Words>& out);

}  // namespace gpu_check
