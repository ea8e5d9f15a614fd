// Run on a real GPU by scripts/gpu-check.sh: the device code against the host functions.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cli/test_data.h"
#include "curand_philox.h"
#include "gpu/runtime.h"
#include "hash/tip5_host.h"
#include "kernels/hash_kernels.h"
#include "kernels/mining_kernels.h"
#include "kernels/pow_kernels.h"
#include "mining/mining_hash.h"
#include "mining/philox.h"
#include "pow/guesser_buffer.h"
#include "pow/pow.h"
#include "support/expected_puzzle.h"
#include "support/guesser_reference.h"

namespace {

using reference::random_digest;
using reference::random_paths;
using reference::random_pow;

constexpr uint64_t P_MINUS_1 = 0xFFFFFFFF00000000ull;

class Gpu : public ::testing::Test {
protected:
    void SetUp() override
    {
        int count = 0;
        if (cudaGetDeviceCount(&count) != cudaSuccess || count == 0) GTEST_SKIP() << "no CUDA device";
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    }
};

philox::Words host_draw(uint32_t g, uint32_t k)
{
    return philox::philox4x32_10(philox::Words{{k, 0, g, 0}}, 0xDEADBEEF, 0);
}

bool same_words(const philox::Words& a, const philox::Words& b)
{
    return a.w[0] == b.w[0] && a.w[1] == b.w[1] && a.w[2] == b.w[2] && a.w[3] == b.w[3];
}

TEST_F(Gpu, Tip5TwinsAgreeWithTheHostOnRandomAndEdgeStates)
{
    std::mt19937_64 rng(101);
    constexpr size_t N = 4096;
    std::vector<uint64_t> states(N * tip5::STATE_SIZE);
    for (uint64_t& x : states) x = rng() % field::P;
    const uint64_t edges[] = {0, 1, 2, 0xFFFFFFFFull, 0x100000000ull, 0x100000001ull, 1ull << 63, P_MINUS_1, P_MINUS_1 - 1};
    for (size_t i = 0; i < tip5::STATE_SIZE * 9; ++i) states[i] = edges[i % 9];
    std::vector<uint64_t> device = states;
    ASSERT_EQ(test_kernels::tip5_permutations(device), cudaSuccess);
    for (size_t s = 0; s < N; ++s) {
        uint64_t* host = &states[s * tip5::STATE_SIZE];
        tip5_permutation_host(host);
        for (int i = 0; i < tip5::STATE_SIZE; ++i) ASSERT_EQ(device[s * tip5::STATE_SIZE + i], host[i]) << s;
    }

    std::vector<uint64_t> left(N * 5), right(N * 5), pairs;
    for (uint64_t& x : left) x = rng() % field::P;
    for (uint64_t& x : right) x = rng() % field::P;
    ASSERT_EQ(test_kernels::tip5_pair_hashes(left, right, pairs), cudaSuccess);
    for (size_t s = 0; s < N; ++s) {
        const Tip5Digest l{left[5 * s], left[5 * s + 1], left[5 * s + 2], left[5 * s + 3], left[5 * s + 4]};
        const Tip5Digest r{right[5 * s], right[5 * s + 1], right[5 * s + 2], right[5 * s + 3], right[5 * s + 4]};
        const Tip5Digest h = tip5_hash_fixed_host(l, r);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(pairs[5 * s + i], h[i]) << s;
    }

    constexpr size_t STRIDE = 37;
    std::vector<uint64_t> elements(N * STRIDE), varlen;
    for (uint64_t& x : elements) x = rng() % field::P;
    ASSERT_EQ(test_kernels::tip5_varlen_hashes(elements, STRIDE, STRIDE, varlen), cudaSuccess);
    for (size_t s = 0; s < N; ++s) {
        const Tip5Digest h = tip5_hash_varlen_host(&elements[s * STRIDE], STRIDE);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(varlen[5 * s + i], h[i]) << s;
    }
}

TEST_F(Gpu, IndicesAndFastMastHashTwinsAgreeWithTheHost)
{
    std::mt19937_64 rng(102);
    constexpr size_t N = 2048;
    std::vector<Digest> finals, nonces;
    std::vector<PowMastPaths> paths;
    std::vector<Pow> pows;
    for (size_t i = 0; i < N; ++i) {
        finals.push_back(random_digest(rng));
        nonces.push_back(random_digest(rng));
        paths.push_back(random_paths(rng));
        pows.push_back(random_pow(rng));
    }
    for (uint64_t mask : {GUESSER_INDEX_MASK, GuesserGeometry{10}.index_mask()}) {
        std::vector<uint64_t> a, b;
        ASSERT_EQ(test_kernels::pow_indices(finals, nonces, mask, a, b), cudaSuccess);
        for (size_t i = 0; i < N; ++i) {
            const auto expected = Pow::indices(finals[i], nonces[i], mask);
            ASSERT_EQ(a[i], expected.first) << i;
            ASSERT_EQ(b[i], expected.second) << i;
        }
    }
    std::vector<Digest> hashes;
    ASSERT_EQ(test_kernels::fast_mast_hashes(paths, pows, hashes), cudaSuccess);
    for (size_t i = 0; i < N; ++i) ASSERT_EQ(hashes[i], paths[i].fast_mast_hash(pows[i])) << i;
}

TEST_F(Gpu, PhiloxMatchesCuRandPhilox4x32_10)
{
    const unsigned grid = 1024, block = 256, draws = 3;  // subsequences up to 262143
    std::vector<philox::Words> ours, theirs;
    ASSERT_EQ(test_kernels::philox_draws(grid, block, draws, ours), cudaSuccess);
    ASSERT_EQ(gpu_check::curand_philox_draws(grid, block, draws, theirs), cudaSuccess);
    ASSERT_EQ(ours.size(), theirs.size());
    for (uint32_t g = 0; g < grid * block; ++g)
        for (uint32_t k = 0; k < draws; ++k) {
            const size_t i = static_cast<size_t>(g) * draws + k;
            ASSERT_TRUE(same_words(ours[i], theirs[i])) << "thread " << g << " draw " << k;
            ASSERT_TRUE(same_words(ours[i], host_draw(g, k))) << "thread " << g << " draw " << k;
        }
}

TEST_F(Gpu, SmallTreeBuiltOnTheDeviceMatchesTheHost)
{
    std::mt19937_64 rng(103);
    const PowMastPaths paths = random_paths(rng);
    const GuesserGeometry geometry{10};
    GuesserBuffer buffer = Pow::preprocess_gpu(paths, geometry);
    ASSERT_NE(buffer.d_merkle_tree, nullptr);
    const reference::Tree tree = reference::build_tree(paths.commit(), geometry.tree_height);
    std::vector<Digest> nodes(buffer.merkle_tree_size);
    ASSERT_EQ(nodes.size(), tree.nodes.size());
    ASSERT_EQ(cudaMemcpy(nodes.data(), buffer.d_merkle_tree, nodes.size() * sizeof(Digest), cudaMemcpyDeviceToHost),
              cudaSuccess);
    for (size_t n = 0; n < nodes.size(); ++n) ASSERT_EQ(nodes[n], tree.nodes[n]) << "slot " << n;
    EXPECT_EQ(buffer.merkle_root, tree.root());
    EXPECT_EQ(buffer.final_hash, reference::H(tree.root(), paths.commit()));
}

// The recorded candidate, checked with host functions only: its nonce digest is the generator's
// word of its thread and draw, its paths fold from the host-built leaves to the root, and its host
// block hash meets the threshold.
void verify_record(const test_kernels::MiningBatch& batch, const Digest& root, const Digest& commitment,
                   const test_kernels::MiningRecord& record)
{
    ASSERT_EQ(record.found, 1);
    ASSERT_GE(record.nonce, batch.start_nonce);
    ASSERT_LT(record.nonce, batch.start_nonce + batch.num_nonces);
    const uint64_t n = record.nonce - batch.start_nonce, threads = uint64_t(batch.grid) * batch.block;
    const philox::Words w = host_draw(static_cast<uint32_t>(n % threads), static_cast<uint32_t>(n / threads));
    EXPECT_EQ(record.nonce_digest, (Digest{{record.nonce, w.w[0], w.w[1], w.w[2], w.w[3]}}));

    const auto [a, b] = Pow::indices(batch.final_hash, record.nonce_digest, batch.num_leafs - 1);
    Pow pow;
    pow.root = root;
    pow.nonce = record.nonce_digest;
    auto check_path = [&](uint64_t index, const std::vector<Digest>& recorded, Digest* out) {
        const std::vector<Digest> path(recorded.begin(), recorded.begin() + batch.tree_height);
        EXPECT_EQ(path[0], reference::leaf(commitment, index ^ 1, batch.num_leafs)) << index;
        EXPECT_EQ(reference::root_from_path(reference::leaf(commitment, index, batch.num_leafs), index, path), root)
            << index;
        for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) {
            out[j] = recorded[j];
            if (j >= batch.tree_height) EXPECT_EQ(out[j], Digest{}) << j;
        }
    };
    check_path(a, record.path_a, pow.path_a);
    check_path(b, record.path_b, pow.path_b);
    const Digest hash = batch.mast_paths.fast_mast_hash(pow);
    EXPECT_TRUE(digest_less_than_or_equal_device(hash, batch.threshold));
}

test_kernels::MiningBatch easy_batch(const GuesserBuffer& buffer, uint64_t height)
{
    test_kernels::MiningBatch batch;
    batch.d_nodes = buffer.d_merkle_tree;
    batch.final_hash = buffer.final_hash;
    // About one candidate in 64 meets it.
    batch.threshold = Digest{{P_MINUS_1, P_MINUS_1, P_MINUS_1, P_MINUS_1, P_MINUS_1 / 64}};
    batch.start_nonce = 3 * 100000000ull;
    batch.num_nonces = 65536;
    batch.num_leafs = buffer.num_leafs;
    batch.tree_height = height;
    batch.mast_paths = buffer.mast_paths;
    batch.grid = 128;
    batch.block = 256;
    return batch;
}

TEST_F(Gpu, EasyThresholdBatchOnASmallTreeIsVerifiedOnTheHost)
{
    std::mt19937_64 rng(104);
    const PowMastPaths paths = random_paths(rng);
    GuesserBuffer buffer = Pow::preprocess_gpu(paths, GuesserGeometry{10});
    ASSERT_NE(buffer.d_merkle_tree, nullptr);
    const test_kernels::MiningBatch batch = easy_batch(buffer, 10);
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(batch, record), cudaSuccess);
    verify_record(batch, buffer.merkle_root, paths.commit(), record);
}

// The product geometry: the built-in test paths give the independently computed buffer, the path
// kernel gives the expected paths of the start nonce, and a mined candidate checks out on the host.
TEST_F(Gpu, ProductTreeOfTheTestPaths)
{
    size_t free_bytes = 0, total_bytes = 0;
    ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total_bytes), cudaSuccess);
    if (free_bytes < (size_t(1) << 29) * sizeof(Digest) + (size_t(1) << 28)) GTEST_SKIP() << "under 20.25 GiB free";
    const ExpectedPuzzle expected = load_expected_puzzle();
    const PowMastPaths paths = TestData::get_mast_paths();
    ASSERT_EQ(paths.commit(), expected.commitment);
    GuesserBuffer buffer = Pow::preprocess_gpu(paths);
    ASSERT_NE(buffer.d_merkle_tree, nullptr);
    EXPECT_EQ(buffer.merkle_root, expected.merkle_root);
    EXPECT_EQ(buffer.final_hash, expected.final_hash);

    const auto [a, b] = Pow::indices(buffer.final_hash, TestData::get_start_nonce());
    EXPECT_EQ(a, expected.index_a);
    EXPECT_EQ(b, expected.index_b);
    std::vector<Digest> path_a, path_b;
    ASSERT_EQ(test_kernels::merkle_paths(buffer.d_merkle_tree, {}, a, b, buffer.num_leafs, GUESSER_TREE_HEIGHT,
                                         expected.commitment, path_a, path_b),
              cudaSuccess);
    EXPECT_EQ(path_a, expected.paths.at(expected.index_a));
    EXPECT_EQ(path_b, expected.paths.at(expected.index_b));

    const test_kernels::MiningBatch batch = easy_batch(buffer, GUESSER_TREE_HEIGHT);
    test_kernels::MiningRecord record;
    ASSERT_EQ(test_kernels::mine_batch(batch, record), cudaSuccess);
    verify_record(batch, buffer.merkle_root, expected.commitment, record);
}

}  // namespace
