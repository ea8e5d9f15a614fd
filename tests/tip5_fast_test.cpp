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
        ASSERT_EQ(lazy_field::to_montgomery<true>(a), reference::mul(reference::mod(a), r64)) << a;
        const uint64_t back = lazy_field::from_montgomery(a);
        ASSERT_LE(back, field::P) << a;
        ASSERT_EQ(reference::mul(reference::mod(back), r64), reference::mod(a)) << a;
        const uint64_t a2 = reference::mul(reference::mod(a), reference::mod(a));
        ASSERT_TRUE(reference::mod(lazy_field::square(a)) == a2 && reference::mod(lazy_field::square<true>(a)) == a2) << a;
        for (uint64_t b : words) {  // products by 2^32 - 1 on the multiplier and as shifts
            const uint64_t ab = reference::mod(u128(a) * b), wide = reference::mod((u128(b) << 64) | a);
            ASSERT_TRUE(reference::mod(lazy_field::mul(a, b)) == ab && reference::mod(lazy_field::mul<true>(a, b)) == ab) << a << " * " << b;
            ASSERT_TRUE(reference::mod(lazy_field::reduce128(a, b)) == wide && reference::mod(lazy_field::reduce128<true>(a, b)) == wide)
                << a << ", " << b;
        }
    }
}

using tip5_fast::Mds;
const std::pair<const char*, Mds> MDS_FORMS[] = {{"direct", Mds::direct}, {"fp64", Mds::fp64}, {"crt", Mds::crt}};

template <Mds M, tip5::Shape S = tip5::Shape::full>
void permute_all(std::vector<uint64_t>& states)
{
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE) tip5_fast::permutation<M, S>(&states[s], LOOKUP_TABLE_HOST);
}

using tip5::Shape;

// Each state with the words a shape declares known set to their values.
std::vector<uint64_t> shaped_states(std::vector<uint64_t> states, Shape shape)
{
    const tip5::ShapeWords w = tip5::shape_words(shape);
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE)
        for (int i = 0; i < tip5::STATE_SIZE; ++i)
            if ((w.zero_in | w.one_in) >> i & 1) states[s + i] = w.one_in >> i & 1;
    return states;
}

// The words a shape reads: the others are zeroed.
std::vector<uint64_t> read_words(std::vector<uint64_t> states, Shape shape)
{
    for (size_t s = 0; s < states.size(); s += tip5::STATE_SIZE)
        for (int i = 0; i < tip5::STATE_SIZE; ++i)
            if ((tip5::shape_words(shape).out >> i & 1) == 0) states[s + i] = 0;
    return states;
}

template <Shape S>
__global__ void shaped_permutation_kernel(uint64_t* states, size_t n)
{
    const size_t i = static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) CalledFastPermutation{}.shaped<S>(states + tip5::STATE_SIZE * i);
}

template <Shape S>
void check_shape(const std::vector<uint64_t>& random_states)
{
    const std::vector<uint64_t> states = shaped_states(random_states, S);
    const std::vector<uint64_t> expected = read_words(permuted_today(states), S);
    std::vector<uint64_t> host[3] = {states, states, states};
    permute_all<Mds::direct, S>(host[0]), permute_all<Mds::fp64, S>(host[1]), permute_all<Mds::crt, S>(host[2]);
    for (int f = 0; f < 3; ++f) EXPECT_EQ(read_words(host[f], S), expected) << MDS_FORMS[f].first << " shape " << int(S);

    const size_t n = states.size() / tip5::STATE_SIZE;
    gpu::DeviceBuffer<uint64_t> d_states = support::to_device(states);
    gpu::launch(shaped_permutation_kernel<S>, dim3(static_cast<unsigned>((n + 127) / 128)), dim3(128), nullptr,
                d_states.get(), n);
    ASSERT_EQ(support::finish_launch(), cudaSuccess);
    EXPECT_EQ(read_words(support::to_host(d_states.get(), states.size()), S), expected) << "device, shape " << int(S);
}

// Every shape in every form, on the words each reads, against today's permutation of the same state.
TEST_F(DeviceTest, ShapedFastPermutationsEqualTodaysOnTheWordsTheyRead)
{
    const std::vector<uint64_t> states = permutation_states(300, 32);
    check_shape<Shape::full>(states), check_shape<Shape::digest>(states), check_shape<Shape::pair>(states);
    check_shape<Shape::pair_word>(states), check_shape<Shape::pair_zero>(states);
    check_shape<Shape::short_hash>(states), check_shape<Shape::padding>(states);
}

// Every form on any 64-bit words, as the S-box hands them over (the largest included): output i is
// rc[i] + sum_j mds[i-j] u[j] mod p, and the fp64 sums and the crt limbs reach their bounds.
TEST(FastMds, EveryFormIsTheCirculantProductOnAnyWords)
{
    std::vector<uint64_t> words = reference::edge_values();
    for (uint64_t w : {~uint64_t{0}, ~uint64_t{0} - 1, field::P, (uint64_t{1} << 43) - 1, uint64_t{1} << 43, uint64_t{0x3FFFFF}})
        words.push_back(w);
    std::mt19937_64 rng(5);
    for (int s = 0; s < 400; ++s) {
        uint64_t u[tip5::STATE_SIZE];
        for (int j = 0; j < tip5::STATE_SIZE; ++j)
            u[j] = s < int(words.size()) ? words[s] : s % 2 ? words[rng() % words.size()] : rng();
        const int round = s % tip5::NUM_ROUNDS;
        uint64_t out[3][tip5::STATE_SIZE];
        tip5_fast::mds_and_constants<Mds::direct>(u, out[0], round);
        tip5_fast::mds_and_constants<Mds::fp64>(u, out[1], round);
        tip5_fast::mds_and_constants<Mds::crt>(u, out[2], round);
        for (int i = 0; i < tip5::STATE_SIZE; ++i) {
            u128 sum = ROUND_CONSTANTS_HOST[tip5::STATE_SIZE * round + i];
            for (int j = 0; j < tip5::STATE_SIZE; ++j) sum += u128(MDS_COEFF_HOST[(i - j) & 15]) * u[j];
            for (int f = 0; f < 3; ++f)
                ASSERT_EQ(reference::mod(out[f][i]), reference::mod(sum)) << MDS_FORMS[f].first << " state " << s << " output " << i;
        }
    }
}

TEST_F(DeviceTest, FastPermutationEqualsTodaysOnHostAndDevice)
{
    std::vector<uint64_t> states = permutation_states(2000, 31);
    const std::vector<uint64_t> expected = permuted_today(states);
    for (const auto& [name, form] : MDS_FORMS) {
        std::vector<uint64_t> host = states;
        form == Mds::direct ? permute_all<Mds::direct>(host) : form == Mds::fp64 ? permute_all<Mds::fp64>(host) : permute_all<Mds::crt>(host);
        EXPECT_EQ(host, expected) << name;
    }

    const size_t n = states.size() / tip5::STATE_SIZE;
    gpu::DeviceBuffer<uint64_t> d_states = support::to_device(states);
    gpu::launch(fast_permutation_kernel, dim3(static_cast<unsigned>((n + 127) / 128)), dim3(128), nullptr,
                d_states.get(), n);
    ASSERT_EQ(support::finish_launch(), cudaSuccess);
    EXPECT_EQ(support::to_host(d_states.get(), states.size()), expected);
}

}  // namespace
