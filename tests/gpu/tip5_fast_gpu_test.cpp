// Run on a real GPU by scripts/gpu-check.sh: the fast permutation's device-only forms (mul.wide,
// PRMT) against today's permutation on the host.
#include <gtest/gtest.h>

#include "hash/tip5_host.h"
#include "kernels/fast_hash_kernels.h"
#include "support/permutation_states.h"

namespace {

TEST(GpuFast, PermutationEqualsTodaysOnTheHost)
{
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count == 0) GTEST_SKIP() << "no CUDA device";
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    std::vector<uint64_t> states = reference::permutation_states(1 << 16, 41);
    std::vector<uint64_t> expected = states;
    for (size_t s = 0; s < expected.size(); s += tip5::STATE_SIZE) tip5_permutation_host(&expected[s]);
    ASSERT_EQ(test_kernels::tip5_fast_permutations(states), cudaSuccess);
    EXPECT_EQ(states, expected);
}

}  // namespace
