// Test launcher for the fast permutation on the device (the emulator in CI, a GPU in the GPU check).
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/runtime.h"

namespace test_kernels {

// Permutes each 16-word state in place with tip5_fast::permutation, reading the byte table from
// constant memory.
cudaError_t tip5_fast_permutations(std::vector<uint64_t>& states);

}  // namespace test_kernels
