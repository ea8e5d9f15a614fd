// The device twins of the field, Tip5, threshold, proof-of-work and Philox code against the host and
// independent references, one item per thread (on the emulator here, on a GPU in the GPU check).
#include <cstring>

#include "gpu/launch.h"
#include "mining/philox.h"
#include "pow/pow_device.cuh"
#include "support/device_test.h"
#include "support/guesser_reference.h"

namespace {

struct Twin {
    uint64_t x, y, state[tip5::STATE_SIZE];
    Digest left, right;  // also the final hash and the nonce of the indices
    uint64_t mask, elements[40], count;
    PowMastPaths paths;
    Pow pow;
};

struct TwinResult {
    uint64_t sum, mont_product, reduced, state[tip5::STATE_SIZE];
    Digest pair, varlen, fast_mast;
    uint64_t index_a, index_b;
    int below;
    philox::Words draws[3];
};

__global__ void twin_kernel(const Twin* in, TwinResult* out, uint32_t n)
{
    const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const Twin& t = in[i];
    TwinResult& r = out[i];
    r.sum = field::add(t.x, t.y);
    r.mont_product = field::mont_mul(t.x, t.y);
    r.reduced = field::reduce128(t.x, t.y >> 44);  // MDS accumulators stay below 2^84
    for (int k = 0; k < tip5::STATE_SIZE; ++k) r.state[k] = t.state[k];
    tip5_permutation(r.state);
    r.pair = tip5::hash_pair(t.left, t.right, InlinePermutation{});
    r.varlen = tip5::hash_varlen(t.elements, t.count, CalledPermutation{});
    r.fast_mast = fast_mast_hash_device(t.paths, t.pow);
    Pow_indices_device(t.left, t.right, r.index_a, r.index_b, t.mask);
    r.below = digest_less_than_or_equal_device(t.left, t.right) ? 1 : 0;
    philox::Stream random = philox::Stream::start(philox::MINING_SEED, i);
    for (philox::Words& w : r.draws) w = random.next();
}

bool same(const philox::Words& a, const philox::Words& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(DeviceTest, TwinsAgreeWithTheHostAndTheReferences)
{
    std::vector<uint64_t> values = reference::edge_values();
    for (uint64_t r : reference::random_canonical(3, 1)) values.push_back(r);
    const size_t v = values.size();
    std::mt19937_64 rng(2);
    std::vector<Twin> in(v * v);
    for (size_t i = 0; i < in.size(); ++i) {
        Twin& t = in[i];
        t.x = values[i % v], t.y = values[i / v];  // every pair of edge values
        for (int k = 0; k < tip5::STATE_SIZE; ++k) t.state[k] = i % 4 == 0 ? values[(i + k) % v] : rng() % field::P;
        t.left = reference::random_digest(rng);
        t.right = reference::random_digest(rng);
        for (int k = 0; k < Digest::LENGTH && i % 3 == 0; ++k)  // 0/1 words: ties at every position
            t.left[k] = (i / 3 >> k) & 1, t.right[k] = ((i / 3 * 13 + 7) >> k) & 1;
        if (i == 0) t.right = t.left;
        t.mask = i % 2 == 0 ? GUESSER_INDEX_MASK : 63;
        t.count = i % 41;
        for (uint64_t& e : t.elements) e = rng() % field::P;
        t.paths = i == 1 ? PowMastPaths{} : reference::random_paths(rng);
        t.pow = i == 1 ? Pow{} : reference::random_pow(rng);
    }
    const auto d_in = support::to_device(in);
    auto d_out = support::to_device(std::vector<TwinResult>(in.size()));
    gpu::launch(twin_kernel, dim3(static_cast<unsigned>(in.size() + 63) / 64), dim3(64), nullptr,
                static_cast<const Twin*>(d_in.get()), d_out.get(), static_cast<uint32_t>(in.size()));
    ASSERT_EQ(support::finish_launch(), cudaSuccess);
    const std::vector<TwinResult> out = support::to_host(d_out.get(), in.size());

    for (size_t i = 0; i < in.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i));
        const Twin& t = in[i];
        const TwinResult& r = out[i];
        EXPECT_EQ(r.sum, reference::add(t.x, t.y));
        EXPECT_EQ(r.mont_product, reference::mul(reference::mul(t.x, t.y), field::R2_MOD_P));  // x y 2^-64
        EXPECT_EQ(r.reduced, reference::mod((static_cast<reference::u128>(t.y >> 44) << 64) | t.x));
        Twin host = t;
        tip5_permutation_host(host.state);
        EXPECT_TRUE(std::equal(host.state, host.state + tip5::STATE_SIZE, r.state));
        EXPECT_EQ(r.pair, reference::H(t.left, t.right));
        EXPECT_EQ(r.varlen, Digest::from_words(tip5_hash_varlen_host(t.elements, t.count)));
        EXPECT_EQ(r.fast_mast, t.paths.fast_mast_hash(t.pow));
        EXPECT_EQ(std::make_pair(r.index_a, r.index_b), Pow::indices(t.left, t.right, t.mask));
        // Element 4 most significant, element 0 least; equality meets the host's test only.
        const bool below = std::lexicographical_compare(std::rbegin(t.left.elements), std::rend(t.left.elements),
                                                        std::rbegin(t.right.elements), std::rend(t.right.elements));
        EXPECT_TRUE(r.below == below && digest_less_than_or_equal(t.left, t.right) == (below || t.left == t.right));
        for (uint32_t k = 0; k < 3; ++k)  // counter (k, 0, g, 0), key (0xDEADBEEF, 0)
            EXPECT_TRUE(same(r.draws[k], philox::philox4x32_10(philox::Words{{k, 0, uint32_t(i), 0}}, 0xDEADBEEF, 0)));
    }
}

TEST(Philox, PublishedKnownAnswersAndTheCounterCarry)
{
    using philox::Words;
    const struct { Words counter; uint32_t k0, k1; Words out; } known[] = {{{{0, 0, 0, 0}}, 0, 0, {{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}}},
                 {{{~0u, ~0u, ~0u, ~0u}}, ~0u, ~0u, {{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}}},
                 {{{0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}}, 0xa4093822, 0x299f31d0,
                  {{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}}}};
    for (const auto& k : known) EXPECT_TRUE(same(philox::philox4x32_10(k.counter, k.k0, k.k1), k.out));
    // The seed's halves are the key; a subsequence above 2^32 reaches c3; c0 carries up to c3.
    philox::Stream wide = philox::Stream::start(0x0000000100000002ull, 0x0000000300000004ull);
    EXPECT_TRUE(same(wide.next(), philox::philox4x32_10(Words{{0, 0, 4, 3}}, 2, 1)));
    philox::Stream carry{Words{{~0u, 0, 7, 0}}, 0, 0}, ripple{Words{{~0u, ~0u, ~0u, 5}}, 0, 0};
    carry.next(), ripple.next();
    EXPECT_TRUE(same(carry.counter, Words{{0, 1, 7, 0}}) && same(ripple.counter, Words{{0, 0, 0, 6}}));
}

}  // namespace
