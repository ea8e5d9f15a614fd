// The fast permutation against today's, on the host and on the device (the emulator here, a GPU in
// the GPU check). Inside the permutation words may lie anywhere below 2^64, not only below p.
#include <gtest/gtest.h>

#include "gpu/launch.h"
#include "hash/lazy_field.h"
#include "hash/tip5_device.cuh"
#include "hash/tip5_fast.h"
#include "hash/tip5_host.h"
#include "support/device_test.h"
#include "support/guesser_reference.h"

namespace {

using reference::u128;

// Each edge value in every slot, edge values mixed across the slots, then random canonical states.
std::vector<uint64_t> permutation_states(size_t random_count, uint64_t seed)
{
    const std::vector<uint64_t> edges = reference::edge_values();
    std::vector<uint64_t> states;
    for (uint64_t e : edges) states.insert(states.end(), tip5::STATE_SIZE, e);
    std::mt19937_64 rng(seed);
    for (size_t s = 0; s < 64 * tip5::STATE_SIZE; ++s) states.push_back(edges[rng() % edges.size()]);
    for (size_t s = 0; s < random_count * tip5::STATE_SIZE; ++s) states.push_back(rng() % field::P);
    return states;
}

std::vector<uint64_t> permuted_today(std::vector<uint64_t> states)
{
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE) tip5_permutation_host(&states[s]);
    return states;
}

__global__ void fast_permutation_kernel(uint64_t* states, size_t n)
{
    const size_t i = static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) fast_permutation()(states + tip5::STATE_SIZE * i);
}

TEST(LazyField, HelpersAgreeWithRemaindersOnWordsAboveP)
{
    std::vector<uint64_t> words = reference::edge_values();
    const uint64_t above_p[] = {field::P, field::P + 1, field::P + 0xFFFFFFFE, ~uint64_t{0}, ~uint64_t{1}};
    words.insert(words.end(), std::begin(above_p), std::end(above_p));
    for (uint64_t r : reference::random_canonical(200, 21)) words.push_back(r + (r >> 40));  // some land above p
    const uint64_t r64 = reference::mod(u128(1) << 64);
    for (uint64_t a : words) {
        ASSERT_EQ(lazy_field::canonical(a), reference::mod(a)) << a;
        ASSERT_EQ(lazy_field::to_montgomery(a), reference::mul(reference::mod(a), r64)) << a;
        const uint64_t back = lazy_field::from_montgomery(a);
        ASSERT_LE(back, field::P) << a;
        ASSERT_EQ(reference::mul(reference::mod(back), r64), reference::mod(a)) << a;
        ASSERT_EQ(reference::mod(lazy_field::square(a)), reference::mul(reference::mod(a), reference::mod(a))) << a;
        for (uint64_t b : words) {
            ASSERT_EQ(reference::mod(lazy_field::mul(a, b)), reference::mod(u128(a) * b)) << a << " * " << b;
            ASSERT_EQ(reference::mod(lazy_field::reduce128(a, b)), reference::mod((u128(b) << 64) | a)) << a << ", " << b;
        }
    }
}

TEST_F(DeviceTest, FastPermutationEqualsTodaysOnHostAndDevice)
{
    std::vector<uint64_t> states = permutation_states(2000, 31);
    const std::vector<uint64_t> expected = permuted_today(states);
    std::vector<uint64_t> host = states;
    for (size_t s = 0; s < host.size(); s += tip5::STATE_SIZE) tip5_fast::permutation(&host[s], LOOKUP_TABLE_HOST);
    EXPECT_EQ(host, expected);

    const size_t n = states.size() / tip5::STATE_SIZE;
    gpu::DeviceBuffer<uint64_t> d_states = support::to_device(states);
    gpu::launch(fast_permutation_kernel, dim3(static_cast<unsigned>((n + 127) / 128)), dim3(128), nullptr,
                d_states.get(), n);
    ASSERT_EQ(support::finish_launch(), cudaSuccess);
    EXPECT_EQ(support::to_host(d_states.get(), states.size()), expected);
}

}  // namespace
