#include "mining/kernel_image.h"

#include "mining/mining_kernels.h"

cudaError_t mining_kernel_attributes(MiningKernel kernel, cudaFuncAttributes& attributes)
{
    return cudaFuncGetAttributes(&attributes, mining_kernel(kernel).function);
}
