#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "hash/tip5_host.h"
#include "kernels/hash_kernels.h"
#include "support/field_reference.h"

namespace {

using State = std::array<uint64_t, tip5::STATE_SIZE>;

TEST(Tip5Tables, MatchPublishedRows)
{
    EXPECT_EQ(ROUND_CONSTANTS_HOST[0], 13630775303355457758ull);
    EXPECT_EQ(ROUND_CONSTANTS_HOST[1], 16896927574093233874ull);
    EXPECT_EQ(ROUND_CONSTANTS_HOST[15], 15551047435855531404ull);
    EXPECT_EQ(ROUND_CONSTANTS_HOST[16], 17532528648579384106ull);
    EXPECT_EQ(ROUND_CONSTANTS_HOST[79], 6024642864597845108ull);
    for (uint64_t c : ROUND_CONSTANTS_HOST) EXPECT_LT(c, field::P);

    const uint32_t mds_start[] = {61402, 1108, 28750, 33823};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(MDS_COEFF_HOST[i], mds_start[i]);
    EXPECT_EQ(MDS_COEFF_HOST[14], 26798u);
    EXPECT_EQ(MDS_COEFF_HOST[15], 17845u);
    for (uint32_t c : MDS_COEFF_HOST) EXPECT_LT(c, 1u << 16);
}

TEST(Tip5Tables, LookupTableIsTheCubeMapOverF257)
{
    std::set<int> seen;
    for (int x = 0; x < 256; ++x) {
        const int expected = static_cast<int>((static_cast<long>(x + 1) * (x + 1) * (x + 1)) % 257) - 1;
        ASSERT_EQ(LOOKUP_TABLE_HOST[x], expected) << x;
        seen.insert(LOOKUP_TABLE_HOST[x]);
        if (x != 0 && x != 255) {
            EXPECT_NE(LOOKUP_TABLE_HOST[x], x) << "fixed point " << x;
        }
    }
    EXPECT_EQ(seen.size(), 256u);
    const uint8_t start[] = {0, 7, 26, 63, 124, 215, 85, 254};
    EXPECT_TRUE(std::equal(start, start + 8, LOOKUP_TABLE_HOST));
    EXPECT_EQ(LOOKUP_TABLE_HOST[254], 248);
    EXPECT_EQ(LOOKUP_TABLE_HOST[255], 255);
}

TEST(Tip5, PublishedFixedLengthVectors)
{
    Tip5Digest zero{};
    Tip5Digest first = tip5_hash_fixed_host(zero, zero);
    EXPECT_EQ(first, (Tip5Digest{941080798860502477ull, 5295886365985465639ull, 14728839126885177993ull,
                                 10358449902914633406ull, 14220746792122877272ull}));
    Tip5Digest second = tip5_hash_fixed_host(first, zero);
    EXPECT_EQ(second, (Tip5Digest{15888421881075650037ull, 8699648354187865464ull, 6719068786850902915ull,
                                  16188941274693647820ull, 4768361305800190493ull}));
}

TEST(Tip5, SboxOfZeroIsZeroAndPowerMapIsSeventhPower)
{
    State zero{}, out{};
    out.fill(42);
    sbox_layer_host(zero.data(), out.data());
    EXPECT_EQ(out, State{});

    for (uint64_t x : reference::edge_values()) EXPECT_EQ(tip5::power_map(x), reference::pow(x, 7)) << x;
    for (uint64_t x : reference::random_canonical(1000, 11)) ASSERT_EQ(tip5::power_map(x), reference::pow(x, 7));
    EXPECT_EQ(tip5::power_map(2), 128u);
    EXPECT_EQ(tip5::power_map(field::P - 1), field::P - 1);
}

// The published S-box looks up the bytes of the Montgomery form x * 2^64, not of x itself.
uint64_t lookup_bytes(uint64_t w)
{
    uint64_t r = 0;
    for (int k = 0; k < 8; ++k) r |= static_cast<uint64_t>(LOOKUP_TABLE_HOST[(w >> (8 * k)) & 0xFF]) << (8 * k);
    return r;
}

TEST(Tip5, SplitAndLookupActsOnMontgomeryForm)
{
    int differs_from_canonical = 0;
    for (uint64_t x : reference::random_canonical(200, 12)) {
        const uint64_t montgomery = reference::mul(x, field::EPSILON);
        const uint64_t expected = reference::mont_reduce(lookup_bytes(montgomery), 0);
        ASSERT_EQ(tip5::split_and_lookup(x, LOOKUP_TABLE_HOST), expected);
        if (expected != lookup_bytes(x)) ++differs_from_canonical;
    }
    EXPECT_GT(differs_from_canonical, 190);
    // The S-box input is not changed, and slots 0..3 take the lookup, 4..15 the power map.
    State in{}, out{};
    for (int i = 0; i < tip5::STATE_SIZE; ++i) in[i] = 1000003ull * (i + 1);
    const State copy = in;
    sbox_layer_host(in.data(), out.data());
    EXPECT_EQ(in, copy);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], tip5::split_and_lookup(in[i], LOOKUP_TABLE_HOST));
    for (int i = 4; i < tip5::STATE_SIZE; ++i) EXPECT_EQ(out[i], reference::pow(in[i], 7));
}

TEST(Tip5, MdsLayerIsTheCirculantProduct)
{
    for (uint64_t seed = 0; seed < 20; ++seed) {
        auto v = reference::random_canonical(16, 100 + seed);
        if (seed == 0) std::fill(v.begin(), v.end(), field::P - 1);  // the largest accumulators
        State out{};
        mds_layer_host(v.data(), out.data());
        for (int i = 0; i < 16; ++i) {
            uint64_t expected = 0;
            for (int j = 0; j < 16; ++j) expected = reference::add(expected, reference::mul(MDS_COEFF_HOST[(i - j + 16) % 16], v[j]));
            ASSERT_EQ(out[i], expected) << "seed " << seed << " row " << i;
        }
    }
}

TEST(Tip5, PermutationIsFiveRoundsOfTheLayers)
{
    auto v = reference::random_canonical(16, 7);
    State state, manual;
    std::copy(v.begin(), v.end(), state.begin());
    manual = state;
    tip5_permutation_host(state.data());
    for (int r = 0; r < tip5::NUM_ROUNDS; ++r) {
        State s{}, m{};
        sbox_layer_host(manual.data(), s.data());
        mds_layer_host(s.data(), m.data());
        round_constants_layer_host(r, m.data(), manual.data());
    }
    EXPECT_EQ(state, manual);
    State again;
    std::copy(v.begin(), v.end(), again.begin());
    tip5_sponge_permutation_host(again.data());
    EXPECT_EQ(again, state);
}

TEST(Tip5Sponge, InitAbsorbSqueeze)
{
    State s;
    s.fill(9);
    tip5_sponge_init_host(s.data(), Domain::FixedLength);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(s[i], i < 10 ? 0u : 1u);
    s.fill(9);
    tip5_sponge_init_host(s.data(), Domain::VariableLength);
    EXPECT_EQ(s, State{});
    s.fill(9);
    tip5_sponge_init_host(s.data(), static_cast<Domain>(7));
    EXPECT_EQ(s, State{});

    // n < 10 leaves slots n..9 as they were; n > 10 uses the first 10 elements only.
    State a, expected;
    for (int i = 0; i < 16; ++i) a[i] = 500 + i;
    expected = a;
    const uint64_t chunk[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    tip5_sponge_absorb_chunk_host(a.data(), chunk, 3);
    std::copy(chunk, chunk + 3, expected.begin());
    tip5_permutation_host(expected.data());
    EXPECT_EQ(a, expected);

    State b{}, c{};
    tip5_sponge_absorb_chunk_host(b.data(), chunk, 12);
    std::copy(chunk, chunk + 10, c.begin());
    tip5_permutation_host(c.data());
    EXPECT_EQ(b, c);

    uint64_t d1[5], d2[5];
    const State before = b;
    tip5_sponge_squeeze_host(b.data(), d1);
    tip5_sponge_squeeze_host(b.data(), d2);
    EXPECT_EQ(b, before);
    EXPECT_TRUE(std::equal(d1, d1 + 5, b.begin()));
    EXPECT_TRUE(std::equal(d1, d1 + 5, d2));
}

// The variable-length hash built by hand from the sponge steps: full blocks, then a padded block.
Tip5Digest varlen_by_hand(const std::vector<uint64_t>& e, int* permutations)
{
    State s{};
    size_t k = 0;
    *permutations = 0;
    for (; e.size() - k >= 10; k += 10) {
        std::copy(e.begin() + k, e.begin() + k + 10, s.begin());
        tip5_permutation_host(s.data());
        ++*permutations;
    }
    std::fill(s.begin(), s.begin() + 10, 0);
    std::copy(e.begin() + k, e.end(), s.begin());
    s[e.size() - k] = 1;
    tip5_permutation_host(s.data());
    ++*permutations;
    return Tip5Digest{s[0], s[1], s[2], s[3], s[4]};
}

TEST(Tip5Sponge, VariableLengthPaddingAndBlockCounts)
{
    const struct {
        size_t n;
        int permutations;
    } cases[] = {{0, 1}, {1, 1}, {9, 1}, {10, 2}, {11, 2}, {19, 2}, {20, 3}, {300, 31}};
    for (const auto& c : cases) {
        auto e = reference::random_canonical(c.n, 40 + c.n);
        int permutations = 0;
        Tip5Digest expected = varlen_by_hand(e, &permutations);
        EXPECT_EQ(permutations, c.permutations);
        EXPECT_EQ(tip5_hash_varlen_host(e.data(), e.size()), expected) << c.n;
    }
    // Empty input: one permutation of [1, 0, ..., 0].
    State s{};
    s[0] = 1;
    tip5_permutation_host(s.data());
    EXPECT_EQ(tip5_hash_varlen_host(nullptr, 0), (Tip5Digest{s[0], s[1], s[2], s[3], s[4]}));
    // Padding makes a trailing zero significant.
    const uint64_t one[] = {5}, one_zero[] = {5, 0};
    EXPECT_NE(tip5_hash_varlen_host(one, 1), tip5_hash_varlen_host(one_zero, 2));
}

TEST(Tip5Sponge, PairHashIsOnePermutationWithCapacityOnes)
{
    Tip5Digest left{1, 2, 3, 4, 5}, right{6, 7, 8, 9, 10};
    State s{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 1, 1, 1, 1, 1};
    tip5_permutation_host(s.data());
    EXPECT_EQ(tip5_hash_fixed_host(left, right), (Tip5Digest{s[0], s[1], s[2], s[3], s[4]}));
    EXPECT_NE(tip5_hash_fixed_host(left, right), tip5_hash_fixed_host(right, left));
}

TEST(Tip5Device, TwinsAgreeWithHostOnRandomAndEdgeStates)
{
    emu::configure(emu::Config{});
    std::vector<uint64_t> states = reference::random_canonical(16 * 300, 77);
    const auto edges = reference::edge_values();
    for (size_t i = 0; i < 16 * 20; ++i) states.push_back(edges[(i * 7 + i / 16) % edges.size()]);
    std::vector<uint64_t> host = states;
    for (size_t i = 0; i < host.size(); i += 16) tip5_permutation_host(host.data() + i);
    ASSERT_EQ(test_kernels::tip5_permutations(states), cudaSuccess);
    EXPECT_EQ(states, host);

    auto left = reference::random_canonical(5 * 200, 78), right = reference::random_canonical(5 * 200, 79);
    std::vector<uint64_t> pairs;
    ASSERT_EQ(test_kernels::tip5_pair_hashes(left, right, pairs), cudaSuccess);
    for (size_t i = 0; i < 200; ++i) {
        Tip5Digest l, r;
        std::copy_n(left.begin() + 5 * i, 5, l.begin());
        std::copy_n(right.begin() + 5 * i, 5, r.begin());
        Tip5Digest h = tip5_hash_fixed_host(l, r);
        ASSERT_TRUE(std::equal(h.begin(), h.end(), pairs.begin() + 5 * i)) << i;
    }

    for (size_t count : {0, 9, 10, 300}) {
        const size_t stride = count + 1, n = 40;
        auto elements = reference::random_canonical(stride * n, 80 + count);
        std::vector<uint64_t> out;
        ASSERT_EQ(test_kernels::tip5_varlen_hashes(elements, stride, count, out), cudaSuccess);
        for (size_t i = 0; i < n; ++i) {
            Tip5Digest h = tip5_hash_varlen_host(elements.data() + stride * i, count);
            ASSERT_TRUE(std::equal(h.begin(), h.end(), out.begin() + 5 * i)) << count << "/" << i;
        }
    }
}

}  // namespace
