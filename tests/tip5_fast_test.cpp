#include <gtest/gtest.h>

#include "hash/lazy_field.h"
#include "hash/tip5_fast.h"
#include "hash/tip5_host.h"
#include "kernels/fast_hash_kernels.h"
#include "support/field_reference.h"
#include "support/permutation_states.h"

namespace {

using reference::u128;

std::vector<uint64_t> host_reference(std::vector<uint64_t> states)
{
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE) tip5_permutation_host(&states[s]);
    return states;
}

// Inside the fast permutation words may lie anywhere below 2^64, not only below p.
TEST(LazyField, HelpersAgreeWithRemaindersOnWordsAboveP)
{
    std::vector<uint64_t> words = reference::edge_values();
    const uint64_t above_p[] = {field::P, field::P + 1, field::P + 0xFFFFFFFE, ~uint64_t{0}, ~uint64_t{1}};
    words.insert(words.end(), std::begin(above_p), std::end(above_p));
    const auto random = reference::random_canonical(200, 21);
    for (uint64_t r : random) words.push_back(r + (r >> 40));  // some land above p
    const uint64_t r64 = reference::mod(u128(1) << 64), r_inv = reference::mont_reduce(1, 0);
    for (uint64_t a : words) {
        ASSERT_EQ(lazy_field::canonical(a), reference::mod(a)) << a;
        ASSERT_EQ(lazy_field::to_montgomery(a), reference::mul(reference::mod(a), r64)) << a;
        const uint64_t back = lazy_field::from_montgomery(a);
        ASSERT_LE(back, field::P) << a;
        ASSERT_EQ(reference::mod(back), reference::mul(reference::mod(a), r_inv)) << a;
        ASSERT_EQ(reference::mod(lazy_field::square(a)), reference::mul(reference::mod(a), reference::mod(a))) << a;
        for (uint64_t b : words) {
            ASSERT_EQ(reference::mod(lazy_field::mul(a, b)), reference::mod(u128(a) * b)) << a << " * " << b;
            ASSERT_EQ(reference::mod(lazy_field::reduce128(a, b)), reference::mod((u128(b) << 64) | a)) << a << ", " << b;
        }
    }
}

TEST(Tip5Fast, HostPermutationEqualsTodaysOnEdgeAndRandomStates)
{
    std::vector<uint64_t> states = reference::permutation_states(4000, 31);
    const std::vector<uint64_t> expected = host_reference(states);
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE) tip5_fast::permutation(&states[s], LOOKUP_TABLE_HOST);
    EXPECT_EQ(states, expected);
}

TEST(Tip5Fast, DevicePermutationEqualsTodaysOnTheHost)
{
    std::vector<uint64_t> states = reference::permutation_states(2000, 32);
    const std::vector<uint64_t> expected = host_reference(states);
    ASSERT_EQ(test_kernels::tip5_fast_permutations(states), cudaSuccess);
    EXPECT_EQ(states, expected);
}

}  // namespace
