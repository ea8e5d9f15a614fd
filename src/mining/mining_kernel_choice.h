// Which nonce-search kernel the driver launches: the product mines with fast; previous is the fast
// kernel as it was before the MDS forms and hash shapes, kept so that one bench run on a GPU shows
// the gain; reference is the first kernel (it mostly measures its own spills); compact is fast
// without the hash shapes, one copy of the permutation instead of six, to measure what the shapes'
// code costs in instruction cache against what they save.
#pragma once

#include <cstdint>

enum class MiningKernel { fast, previous, reference, compact };

// The kernels by name, with the permutations one sibling leaf costs when it is built: 63 from the
// given commitment, 67 in the reference kernel, which recomputes the commitment for every leaf.
struct MiningKernelInfo {
    MiningKernel kernel;
    const char* name;  // the bench's --kernel word
    uint64_t leaf_permutations;
};
constexpr MiningKernelInfo MINING_KERNELS[] = {
    {MiningKernel::fast, "fast", 63},
    {MiningKernel::previous, "previous", 63},
    {MiningKernel::reference, "reference", 67},
    {MiningKernel::compact, "compact", 63},
};

constexpr const MiningKernelInfo& mining_kernel_info(MiningKernel kernel)
{
    return MINING_KERNELS[static_cast<int>(kernel)];
}
static_assert(mining_kernel_info(MiningKernel::compact).kernel == MiningKernel::compact, "the table follows the enum");
