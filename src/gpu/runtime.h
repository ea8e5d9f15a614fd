// The one door to the CUDA runtime. System code includes this header and calls the runtime's own
// names; under nvcc (or a host compiler building against the real toolkit) they are the real
// runtime, and in the host test build (CRV_EMULATOR) they come from the emulator, which runs the
// same kernel source on the CPU.
#pragma once

#if defined(CRV_EMULATOR)
#include "gpu/emulator/cuda_runtime.h"
#else
#include <cuda_runtime.h>
#endif

// Functions compiled for both sides. The emulator defines __host__/__device__ away.
#define CRV_HD __host__ __device__ __forceinline__

// A device function kept out of line (one copy, called from every site).
#if defined(__CUDACC__)
#define CRV_NOINLINE __noinline__
#else
#define CRV_NOINLINE
#endif
