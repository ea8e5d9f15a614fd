// Small kernels that exercise the emulator itself: thread indexing and device atomics.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"

namespace test_kernels {

// out[global thread] = (blockIdx.x << 16) | threadIdx.x, plus gridDim/blockDim checks.
void launch_index_kernel(dim3 grid, dim3 block, uint32_t* d_out, uint32_t* d_bad_dims);
// Every thread tries to claim *d_flag with atomicCAS(0 -> 1); the winner's id goes to *d_winner
// and each thread bumps d_counter through atomicExch-based spinning on a 64-bit word.
void launch_claim_kernel(dim3 grid, dim3 block, unsigned int* d_flag, unsigned int* d_claims,
                         unsigned long long* d_last);

}  // namespace test_kernels
