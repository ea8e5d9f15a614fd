// What the runtime knows of the mining kernels as loaded for the current device.
#pragma once

#include "gpu/runtime.h"
#include "mining/mining_kernel_choice.h"

// The kernel's attributes (registers, local memory, ...) on the current device. The runtime gives
// them only for a kernel it can load there: a card this build has no code for answers
// cudaErrorNoKernelImageForDevice.
cudaError_t mining_kernel_attributes(MiningKernel kernel, cudaFuncAttributes& attributes);
