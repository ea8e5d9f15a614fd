#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "gpu/emulator.h"
#include "kernels/mining_kernels.h"
#include "mining/mining_hash.h"
#include "mining/philox.h"
#include "pow/pow.h"
#include "pow/pow_hash.h"
#include "support/counting_permutation.h"
#include "support/guesser_reference.h"

namespace {

using reference::H;
using reference::random_digest;
using reference::random_paths;

constexpr uint64_t P_MINUS_1 = 0xFFFFFFFF00000000ull;

philox::Words words(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return philox::Words{{a, b, c, d}};
}

void expect_words(const philox::Words& got, const philox::Words& want)
{
    for (int i = 0; i < 4; ++i) EXPECT_EQ(got.w[i], want.w[i]) << "word " << i;
}

// A small guesser tree built on the host, and the path rule stated from the tree's definition for
// any num_leafs / tree_height pair (the zero digest outside the tree).
struct SmallTree {
    PowMastPaths paths;
    Digest commitment;
    reference::Tree tree;
    Digest final_hash;

    SmallTree(uint64_t height, uint64_t seed)
    {
        std::mt19937_64 rng(seed);
        paths = random_paths(rng);
        commitment = paths.commit();
        tree = reference::build_tree(commitment, height);
        final_hash = H(tree.root(), commitment);
    }

    std::vector<Digest> path(uint64_t index, uint64_t num_leafs, uint64_t height) const
    {
        std::vector<Digest> out(height, Digest{});
        if ((index ^ 1) < num_leafs) out[0] = reference::leaf(commitment, index ^ 1, num_leafs);
        for (uint64_t j = 1; j < height; ++j) {
            const uint64_t node = ((num_leafs + index) >> j) ^ 1;
            if (node < (uint64_t(1) << height)) out[j] = tree.nodes[node];
        }
        return out;
    }
    std::vector<Digest> path(uint64_t index) const { return path(index, tree.leaves.size(), tree.height); }

    // The candidate a kernel launch of `threads` threads forms for candidate number n: thread
    // n mod threads, at its (n div threads)-th draw.
    Digest nonce_for(uint64_t start_nonce, uint64_t n, uint64_t threads) const
    {
        const philox::Words w = philox::philox4x32_10(
            words(static_cast<uint32_t>(n / threads), 0, static_cast<uint32_t>(n % threads), 0), 0xDEADBEEF, 0);
        return Digest{{start_nonce + n, w.w[0], w.w[1], w.w[2], w.w[3]}};
    }

    Pow candidate(const Digest& nonce) const
    {
        const auto [a, b] = Pow::indices(final_hash, nonce, tree.leaves.size() - 1);
        Pow pow;
        pow.root = tree.root();
        pow.nonce = nonce;
        const std::vector<Digest> path_a = path(a), path_b = path(b);
        std::copy(path_a.begin(), path_a.end(), pow.path_a);
        std::copy(path_b.begin(), path_b.end(), pow.path_b);
        return pow;
    }
    Digest block_hash(const Digest& nonce) const { return paths.fast_mast_hash(candidate(nonce)); }

    test_kernels::MiningBatch batch(const Digest& threshold, uint64_t start_nonce, uint64_t num_nonces, unsigned grid,
                                    unsigned block) const
    {
        test_kernels::MiningBatch b;
        b.nodes = tree.nodes;
        b.final_hash = final_hash;
        b.threshold = threshold;
        b.start_nonce = start_nonce;
        b.num_nonces = num_nonces;
        b.num_leafs = tree.leaves.size();
        b.tree_height = tree.height;
        b.mast_paths = paths;
        b.grid = grid;
        b.block = block;
        return b;
    }
};

const Digest ALL_P_MINUS_1{{P_MINUS_1, P_MINUS_1, P_MINUS_1, P_MINUS_1, P_MINUS_1}};

class MiningKernel : public ::testing::Test {
protected:
    void SetUp() override { emu::configure(emu::Config{}); }
    void TearDown() override { EXPECT_EQ(emu::live_allocations(), 0u); }
};

TEST(Philox, PublishedKnownAnswers)
{
    expect_words(philox::philox4x32_10(words(0, 0, 0, 0), 0, 0), words(0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8));
    expect_words(philox::philox4x32_10(words(~0u, ~0u, ~0u, ~0u), ~0u, ~0u),
                 words(0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd));
    expect_words(philox::philox4x32_10(words(0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344), 0xa4093822, 0x299f31d0),
                 words(0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1));
}

TEST(Philox, StreamDrawsCounterKOfSubsequenceGWithCarry)
{
    for (uint64_t g : {uint64_t(0), uint64_t(1), uint64_t(262143)}) {
        philox::Stream s = philox::Stream::start(philox::MINING_SEED, g);
        for (uint32_t k = 0; k < 3; ++k)
            expect_words(s.next(), philox::philox4x32_10(words(k, 0, static_cast<uint32_t>(g), 0), 0xDEADBEEF, 0));
    }
    // The seed's high half is the second key word; a subsequence above 2^32 reaches c3.
    philox::Stream wide = philox::Stream::start(0x0000000100000002ull, 0x0000000300000004ull);
    expect_words(wide.next(), philox::philox4x32_10(words(0, 0, 4, 3), 2, 1));
    // c0 carries into c1, and through all-ones words into c3.
    philox::Stream carry{words(~0u, 0, 7, 0), 0xDEADBEEF, 0};
    carry.next();
    expect_words(carry.counter, words(0, 1, 7, 0));
    philox::Stream ripple{words(~0u, ~0u, ~0u, 5), 0, 0};
    ripple.next();
    expect_words(ripple.counter, words(0, 0, 0, 6));
}

TEST_F(MiningKernel, DeviceGeneratorsMatchTheHostLayout)
{
    std::vector<philox::Words> draws;
    ASSERT_EQ(test_kernels::philox_draws(3, 5, 4, draws), cudaSuccess);
    ASSERT_EQ(draws.size(), 60u);
    for (uint32_t g = 0; g < 15; ++g)
        for (uint32_t k = 0; k < 4; ++k)
            expect_words(draws[g * 4 + k], philox::philox4x32_10(words(k, 0, g, 0), 0xDEADBEEF, 0));
}

TEST_F(MiningKernel, ThresholdTestIsStrictOnlyAtElementZero)
{
    const Digest t{{10, 20, 30, 40, 50}};
    struct Case {
        Digest hash;
        bool met;
    };
    const std::vector<Case> cases = {
        {t, false},                                  // equal: not a solution on the device
        {Digest{{9, 20, 30, 40, 50}}, true},         // element 0 alone decides
        {Digest{{11, 20, 30, 40, 50}}, false},
        {Digest{{0, 21, 30, 40, 50}}, false},        // element 1 before element 0
        {Digest{{99, 19, 30, 40, 50}}, true},
        {Digest{{99, 99, 99, 99, 49}}, true},        // element 4 most significant
        {Digest{{0, 0, 0, 0, 51}}, false},
        {Digest{{0, 0, 31, 40, 50}}, false},
        {ALL_P_MINUS_1, false},
    };
    std::vector<Digest> hashes, thresholds;
    for (const Case& c : cases) {
        hashes.push_back(c.hash);
        thresholds.push_back(t);
    }
    hashes.push_back(Digest{{P_MINUS_1 - 1, P_MINUS_1, P_MINUS_1, P_MINUS_1, P_MINUS_1}});
    thresholds.push_back(ALL_P_MINUS_1);
    std::vector<uint8_t> out;
    ASSERT_EQ(test_kernels::threshold_tests(hashes, thresholds, out), cudaSuccess);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(out[i] != 0, cases[i].met) << i;
        EXPECT_EQ(digest_less_than_or_equal_device(cases[i].hash, t), cases[i].met) << i;
    }
    EXPECT_EQ(out.back(), 1);
    EXPECT_TRUE(digest_less_than_or_equal(t, t));  // the host's test differs only there
}

TEST(MiningHash, StreamedCandidateEqualsTheHostBlockHashAndCosts236Permutations)
{
    const SmallTree small(6, 11);
    std::mt19937_64 rng(12);
    uint64_t count = 0;
    const CountingPermutation permute{&count};
    const mining::TreeView view{nullptr, small.tree.nodes.data(), 64, 6};
    for (int i = 0; i < 4; ++i) {
        const Digest nonce = random_digest(rng);
        count = 0;
        const mining::CandidateHash c =
            mining::candidate_hash(view, small.paths, small.tree.root(), small.final_hash, nonce, permute);
        EXPECT_EQ(count, 236u);  // 63 indices + 2 x (4 commitment + 32 buds + 31 reductions) + 39
        const auto [a, b] = Pow::indices(small.final_hash, nonce, 63);
        EXPECT_EQ(c.index_a, a);
        EXPECT_EQ(c.index_b, b);
        EXPECT_EQ(c.hash, small.block_hash(nonce));
    }
    // Stored leaves take the sibling builds out: 63 + 39.
    const mining::TreeView stored{small.tree.leaves.data(), small.tree.nodes.data(), 64, 6};
    const Digest nonce = random_digest(rng);
    count = 0;
    EXPECT_EQ(mining::candidate_hash(stored, small.paths, small.tree.root(), small.final_hash, nonce, permute).hash,
              small.block_hash(nonce));
    EXPECT_EQ(count, 102u);
}

TEST(MiningHash, LayerZeroNodeCosts127Permutations)
{
    const SmallTree small(6, 13);
    uint64_t count = 0;
    const CountingPermutation permute{&count};
    for (uint64_t t : {uint64_t(0), uint64_t(31)}) {
        count = 0;
        const Digest node = pow_hash::pair(pow_hash::leaf(small.commitment, 2 * t, 64, permute),
                                           pow_hash::leaf(small.commitment, 2 * t + 1, 64, permute), permute);
        EXPECT_EQ(node, small.tree.nodes[32 + t]);
        EXPECT_EQ(count, 127u);  // 2 x (32 buds + 31 reductions) + 1
    }
}

TEST_F(MiningKernel, AllPMinus1ThresholdRecordsOneCoherentCandidateOfTheBatch)
{
    const SmallTree small(6, 21);
    const uint64_t start = 1000, count = 100;
    const unsigned grid = 2, block = 32;
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(small.batch(ALL_P_MINUS_1, start, count, grid, block), record), cudaSuccess);
    ASSERT_EQ(record.found, 1);
    ASSERT_GE(record.nonce, start);
    ASSERT_LT(record.nonce, start + count);

    // The recorded digest is the generator's word for that candidate's thread and draw.
    const Digest expected_nonce = small.nonce_for(start, record.nonce - start, grid * block);
    EXPECT_EQ(record.nonce_digest, expected_nonce);
    const Pow expected = small.candidate(expected_nonce);
    ASSERT_EQ(record.path_a.size(), GUESSER_TREE_HEIGHT);
    for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) {
        EXPECT_EQ(record.path_a[j], expected.path_a[j]) << j;  // zero beyond the tree's 6 entries
        EXPECT_EQ(record.path_b[j], expected.path_b[j]) << j;
    }
    Pow found;
    found.root = small.tree.root();
    found.nonce = record.nonce_digest;
    std::copy(record.path_a.begin(), record.path_a.end(), found.path_a);
    std::copy(record.path_b.begin(), record.path_b.end(), found.path_b);
    const Digest hash = small.paths.fast_mast_hash(found);
    EXPECT_TRUE(digest_less_than_or_equal_device(hash, ALL_P_MINUS_1));
    EXPECT_TRUE(digest_less_than_or_equal(hash, ALL_P_MINUS_1));
}

TEST_F(MiningKernel, NoNoncesLeavesTheRecordUntouched)
{
    const SmallTree small(6, 22);
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(small.batch(ALL_P_MINUS_1, 5, 0, 4, 32), record), cudaSuccess);
    EXPECT_EQ(record.found, 0);
    EXPECT_EQ(record.nonce, 0u);
    EXPECT_EQ(record.nonce_digest, Digest{});
    Digest fill;
    std::memset(&fill, test_kernels::PATH_FILL, sizeof fill);
    EXPECT_EQ(record.path_a[0], fill);
    EXPECT_EQ(record.path_b[GUESSER_TREE_HEIGHT - 1], fill);
}

// Finds a batch (by moving its start) where the candidate with the smallest block hash among
// numbers [0, count) sits at `min_number` or later, and returns that candidate's number. A threshold
// just above that hash at element 0 is then met by that candidate alone.
struct UniqueWinner {
    uint64_t start = 0;
    uint64_t number = 0;
    Digest hash{};
};

UniqueWinner unique_winner(const SmallTree& small, uint64_t count, uint64_t threads, uint64_t min_number)
{
    for (uint64_t start = 0;; start += 1000) {
        UniqueWinner best;
        best.start = start;
        for (uint64_t n = 0; n < count; ++n) {
            const Digest h = small.block_hash(small.nonce_for(start, n, threads));
            if (n == 0 || digest_less_than_or_equal_device(h, best.hash)) {
                best.number = n;
                best.hash = h;
            }
        }
        if (best.number >= min_number) return best;
    }
}

TEST_F(MiningKernel, GridSmallerThanTheBatchStridesToEveryCandidate)
{
    const SmallTree small(6, 23);
    const unsigned grid = 2, block = 4;  // 8 threads for 30 candidates: up to four draws each
    const uint64_t count = 30;
    const UniqueWinner w = unique_winner(small, count, grid * block, 2 * grid * block);
    Digest threshold = w.hash;

    // Exactly equal to the best hash: nothing in the batch meets it on the device.
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(small.batch(threshold, w.start, count, grid, block), record), cudaSuccess);
    EXPECT_EQ(record.found, 0);

    threshold[0] += 1;
    ASSERT_EQ(test_kernels::mine_batch(small.batch(threshold, w.start, count, grid, block), record), cudaSuccess);
    ASSERT_EQ(record.found, 1);
    EXPECT_EQ(record.nonce, w.start + w.number);
    EXPECT_EQ(record.nonce_digest, small.nonce_for(w.start, w.number, grid * block));
}

TEST_F(MiningKernel, GridLargerThanTheBatchLeavesSurplusThreadsIdle)
{
    const SmallTree small(6, 24);
    const unsigned grid = 3, block = 32;  // 96 threads for 10 candidates
    const uint64_t count = 10, threads = grid * block;
    // A start where a surplus thread (number >= count) would beat every candidate of the batch.
    uint64_t start = 0;
    Digest in_batch{}, surplus{};
    uint64_t in_batch_number = 0;
    for (;; start += 1000) {
        for (uint64_t n = 0; n < threads; ++n) {
            const Digest h = small.block_hash(small.nonce_for(start, n, threads));
            Digest& best = n < count ? in_batch : surplus;
            if (n == 0 || n == count || digest_less_than_or_equal_device(h, best)) {
                best = h;
                if (n < count) in_batch_number = n;
            }
        }
        if (digest_less_than_or_equal_device(surplus, in_batch)) break;
    }
    test_kernels::MiningRecord record;
    Digest only_surplus = surplus;
    only_surplus[0] += 1;  // met by the surplus candidate, by none of the batch
    ASSERT_EQ(test_kernels::mine_batch(small.batch(only_surplus, start, count, grid, block), record), cudaSuccess);
    EXPECT_EQ(record.found, 0);

    Digest threshold = in_batch;
    threshold[0] += 1;
    ASSERT_EQ(test_kernels::mine_batch(small.batch(threshold, start, count, grid, block), record), cudaSuccess);
    ASSERT_EQ(record.found, 1);
    EXPECT_EQ(record.nonce, start + in_batch_number);
}

TEST_F(MiningKernel, StoredLeavesAreReadForElementZero)
{
    const SmallTree small(6, 25);
    // Markers instead of the real leaves show where element 0 comes from.
    std::vector<Digest> markers(64);
    for (uint64_t i = 0; i < 64; ++i) markers[i] = Digest{{i + 1, 7, 7, 7, 7}};
    test_kernels::MiningBatch batch = small.batch(ALL_P_MINUS_1, 0, 1, 1, 1);
    batch.leafs = markers;
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(batch, record), cudaSuccess);
    ASSERT_EQ(record.found, 1);
    const auto [a, b] = Pow::indices(small.final_hash, record.nonce_digest, 63);
    EXPECT_EQ(record.path_a[0], markers[a ^ 1]);
    EXPECT_EQ(record.path_b[0], markers[b ^ 1]);
    EXPECT_EQ(record.path_a[1], small.path(a)[1]);
}

TEST_F(MiningKernel, PathKernelFollowsTheTreeAndEqualIndicesGiveEqualPaths)
{
    const SmallTree small(6, 26);
    std::vector<Digest> a, b;
    // d_leafs holds garbage: this kernel must build element 0 from the commitment.
    const std::vector<Digest> garbage(64, Digest{{1, 2, 3, 4, 5}});
    for (uint64_t index : {uint64_t(0), uint64_t(37), uint64_t(63)}) {
        ASSERT_EQ(test_kernels::merkle_paths(small.tree.nodes, garbage, index, index, 64, 6, small.commitment, a, b),
                  cudaSuccess);
        EXPECT_EQ(a, b) << index;
        EXPECT_EQ(a, small.path(index)) << index;
        EXPECT_EQ(reference::root_from_path(small.tree.leaves[index], index, a), small.tree.root()) << index;
    }
    ASSERT_EQ(test_kernels::merkle_paths(small.tree.nodes, {}, 5, 58, 64, 6, small.commitment, a, b), cudaSuccess);
    EXPECT_EQ(a, small.path(5));
    EXPECT_EQ(b, small.path(58));
    EXPECT_NE(a, b);
}

TEST_F(MiningKernel, PathsOutsideTheTreeAreZeroDigests)
{
    const SmallTree small(6, 27);
    const Digest zero{};
    std::vector<Digest> a, b;
    // Fewer leaves than the height holds: a sibling at 41 or above is zero, leaves wrap at 41.
    ASSERT_EQ(test_kernels::merkle_paths(small.tree.nodes, {}, 40, 38, 41, 6, small.commitment, a, b), cudaSuccess);
    EXPECT_EQ(a[0], zero);
    EXPECT_EQ(b[0], reference::leaf(small.commitment, 39, 41));
    EXPECT_EQ(a, small.path(40, 41, 6));
    EXPECT_EQ(b, small.path(38, 41, 6));
    // More leaves than the height holds: node numbers 64 and above read as zero.
    ASSERT_EQ(test_kernels::merkle_paths(small.tree.nodes, {}, 3, 100, 128, 6, small.commitment, a, b), cudaSuccess);
    EXPECT_EQ(a[1], zero);   // node (131 >> 1) ^ 1 = 64
    EXPECT_NE(a[2], zero);   // node 32 ^ 1 = 33
    EXPECT_EQ(a, small.path(3, 128, 6));
    EXPECT_EQ(b, small.path(100, 128, 6));
    // An index past the leaves: its sibling is outside, the upper nodes still follow the rule.
    ASSERT_EQ(test_kernels::merkle_paths(small.tree.nodes, {}, 70, 65, 64, 6, small.commitment, a, b), cudaSuccess);
    EXPECT_EQ(a, small.path(70, 64, 6));
    EXPECT_EQ(a[0], zero);
    EXPECT_EQ(b, small.path(65, 64, 6));
}

}  // namespace
