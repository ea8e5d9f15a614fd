// The mining kernels (fast, previous, reference and compact, leaves built or stored) and
// compute_merkle_paths_kernel over small guesser buffers, against the host model (on the emulator
// here, on a GPU in the GPU check).
#include <random>

#include "gpu/launch.h"
#include "mining/mining_kernels.h"
#include "mining/philox.h"
#include "pow/guesser_buffer.h"
#include "support/device_test.h"
#include "support/guesser_reference.h"

namespace {

constexpr uint64_t TOP = 0xFFFFFFFF00000000ull;  // p - 1
const Digest ANY{{TOP, TOP, TOP, TOP, TOP}};    // met by every block hash but itself

struct MiningRecord { int found; uint64_t nonce; Digest nonce_digest; std::vector<Digest> path_a, path_b; };

struct Best { uint64_t number; Digest hash; };  // the candidate's number in its batch and its block hash

// A kernel and where it takes sibling leaves from.
struct Variant { MiningKernel kernel; uint64_t stored; };  // the leaves read from the buffer, the rest built
const Variant VARIANTS[] = {{MiningKernel::fast, 0},      {MiningKernel::fast, 64},     {MiningKernel::fast, 32},
                            {MiningKernel::previous, 0},  {MiningKernel::previous, 64}, {MiningKernel::reference, 0},
                            {MiningKernel::reference, 64}, {MiningKernel::compact, 0},  {MiningKernel::compact, 64}};

// The buffer of random paths over 2^6 leaves, stored, built by the product in chunks of 16 leaves,
// and the same tree built on the host.
struct SmallTree {
    static constexpr uint64_t HEIGHT = 6, LEAFS = 64;
    PowMastPaths paths;
    Digest commitment;
    reference::Tree tree;
    Digest final_hash;
    GuesserBuffer buffer;

    explicit SmallTree(uint64_t seed)
    {
        std::mt19937_64 rng(seed);
        paths = reference::random_paths(rng);
        commitment = paths.commit();
        tree = reference::build_tree(commitment, HEIGHT);
        final_hash = reference::H(tree.root(), commitment);
        buffer = Pow::preprocess_gpu(paths, GuesserGeometry{HEIGHT, {LeafStorage::Stored, 16}});
        EXPECT_TRUE(buffer.d_leafs != nullptr && buffer.merkle_root == tree.root() && buffer.final_hash == final_hash);
    }

    // The path rule for any leaf count: zero digests outside the tree.
    std::vector<Digest> path(uint64_t index, uint64_t num_leafs) const
    {
        std::vector<Digest> out(HEIGHT, Digest{});
        if ((index ^ 1) < num_leafs) out[0] = reference::leaf(commitment, index ^ 1, num_leafs);
        for (uint64_t j = 1; j < HEIGHT; ++j)
            if ((((num_leafs + index) >> j) ^ 1) < LEAFS) out[j] = tree.nodes[((num_leafs + index) >> j) ^ 1];
        return out;
    }
    // Candidate n of a launch of `threads` threads: thread n mod threads at its (n div threads)-th draw.
    Digest nonce(uint64_t start, uint64_t n, uint64_t threads) const
    {
        const philox::Words w =
            philox::philox4x32_10(philox::Words{{uint32_t(n / threads), 0, uint32_t(n % threads), 0}}, 0xDEADBEEF, 0);
        return Digest{{start + n, w.w[0], w.w[1], w.w[2], w.w[3]}};
    }
    Digest block_hash(const Digest& nonce) const
    {
        const auto [a, b] = Pow::indices(final_hash, nonce, LEAFS - 1);
        return paths.fast_mast_hash(reference::candidate(tree, a, b, nonce));
    }
    // The candidate with the smallest block hash among numbers [from, to).
    Best best(uint64_t start, uint64_t from, uint64_t to, uint64_t threads) const
    {
        Best best{to, ANY};
        for (uint64_t n = from; n < to; ++n) {
            const Digest h = block_hash(nonce(start, n, threads));
            if (best.number == to || digest_less_than_or_equal_device(h, best.hash)) best = Best{n, h};
        }
        return best;
    }

    MiningRecord mine(const Digest& threshold, uint64_t start, uint64_t count, unsigned grid, unsigned block,
                      Variant variant = VARIANTS[0]) const
    {
        gpu::DeviceBuffer<Digest> d_paths, d_nonce_digest;
        gpu::DeviceBuffer<uint64_t> d_nonce;
        gpu::DeviceBuffer<int> d_found;
        EXPECT_EQ(d_paths.allocate(2 * GUESSER_TREE_HEIGHT) | d_nonce_digest.allocate(1) | d_nonce.allocate(1) |
                      d_found.allocate(1) | cudaMemset(d_paths.get(), 0xA5, d_paths.bytes()),  // paths: 0xA5 bytes
                  cudaSuccess);
        EXPECT_EQ(cudaMemset(d_found.get(), 0, sizeof(int)) | cudaMemset(d_nonce.get(), 0, sizeof(uint64_t)) |
                      cudaMemset(d_nonce_digest.get(), 0, sizeof(Digest)),
                  cudaSuccess);
        MiningParams params{};
        params.d_leafs = variant.stored > 0 ? buffer.d_leafs : nullptr;
        params.stored_leafs = variant.stored;
        params.d_merkle_tree = buffer.d_merkle_tree;
        params.num_leafs = LEAFS;
        params.tree_height = HEIGHT;
        params.merkle_root = tree.root();
        params.final_hash = final_hash;
        params.commitment = commitment;
        params.mast_paths = paths;
        params.threshold = threshold;
        params.start_nonce = start;
        params.num_nonces = count;
        params.d_solution_nonce = d_nonce.get();
        params.d_solution_found = d_found.get();
        params.d_solution_path_a = d_paths.get();
        params.d_solution_path_b = d_paths.get() + GUESSER_TREE_HEIGHT;
        params.d_solution_nonce_digest = d_nonce_digest.get();
        gpu::launch(mining_kernel(variant.kernel).function, dim3(grid), dim3(block), nullptr, params);
        EXPECT_EQ(support::finish_launch(), cudaSuccess);
        const std::vector<Digest> paths = support::to_host(d_paths.get(), 2 * GUESSER_TREE_HEIGHT);
        return MiningRecord{support::to_host(d_found.get(), 1)[0], support::to_host(d_nonce.get(), 1)[0],
                            support::to_host(d_nonce_digest.get(), 1)[0],
                            std::vector<Digest>(paths.begin(), paths.begin() + GUESSER_TREE_HEIGHT),
                            std::vector<Digest>(paths.begin() + GUESSER_TREE_HEIGHT, paths.end())};
    }
};

using MiningKernel = DeviceTest;

TEST_F(MiningKernel, AnyThresholdRecordsOneCoherentCandidateOfTheBatch)
{
    const SmallTree small(21);
    const uint64_t start = 1000, count = 100;
    const MiningRecord r = small.mine(ANY, start, count, 2, 32);
    ASSERT_TRUE(r.found == 1 && r.nonce >= start && r.nonce < start + count) << r.found << " " << r.nonce;
    EXPECT_EQ(r.nonce_digest, small.nonce(start, r.nonce - start, 2 * 32));
    const auto [a, b] = Pow::indices(small.final_hash, r.nonce_digest, SmallTree::LEAFS - 1);
    EXPECT_EQ(r.path_a, reference::auth_path(small.tree, a));  // zero beyond the tree's 6 entries
    EXPECT_EQ(r.path_b, reference::auth_path(small.tree, b));

    const MiningRecord none = small.mine(ANY, 5, 0, 4, 32);  // no candidates: nothing is written
    EXPECT_TRUE(none.found == 0 && none.nonce == 0 && none.nonce_digest == Digest{} && none.path_a[0][3] == 0xA5A5A5A5A5A5A5A5ull);
}

// Every kernel, with leaves built or stored, finds the same hit for the same counters.
TEST_F(MiningKernel, ThreadsStrideOverTheWholeBatchAndNoFurther)
{
    const SmallTree small(23);
    struct Shape { unsigned grid, block; uint64_t count; };
    for (const Shape& s : {Shape{2, 4, 30}, Shape{3, 32, 10}}) {
        const uint64_t threads = s.grid * s.block;
        // A start where the batch's best candidate needs a third draw of its thread, or where a
        // thread beyond the batch would beat the whole batch.
        uint64_t start = 0;
        Best in_batch{}, beyond{};
        for (;; start += 1000) {
            in_batch = small.best(start, 0, s.count, threads);
            if (threads < s.count ? in_batch.number >= 2 * threads
                                  : digest_less_than_or_equal_device(
                                        (beyond = small.best(start, s.count, threads, threads)).hash, in_batch.hash))
                break;
        }
        const Digest nonce = small.nonce(start, in_batch.number, threads);
        const auto [a, b] = Pow::indices(small.final_hash, nonce, SmallTree::LEAFS - 1);
        for (const Variant& v : VARIANTS) {
            Digest threshold = in_batch.hash;  // the best candidate's own hash: equal does not meet
            EXPECT_EQ(small.mine(threshold, start, s.count, s.grid, s.block, v).found, 0) << int(v.kernel) << v.stored;
            threshold[0] += 1;  // met by the batch's best candidate alone
            const MiningRecord r = small.mine(threshold, start, s.count, s.grid, s.block, v);
            ASSERT_EQ(r.found, 1) << s.count << " kernel " << int(v.kernel) << " stored " << v.stored;
            EXPECT_TRUE(r.nonce == start + in_batch.number && r.nonce_digest == nonce) << int(v.kernel) << v.stored;
            EXPECT_TRUE(r.path_a == reference::auth_path(small.tree, a) && r.path_b == reference::auth_path(small.tree, b))
                << int(v.kernel) << v.stored;
            if (threads > s.count) {
                threshold = beyond.hash;
                threshold[0] += 1;  // met beyond the batch only
                EXPECT_EQ(small.mine(threshold, start, s.count, s.grid, s.block, v).found, 0);
            }
        }
    }
}

// Element 0 always from the commitment, zero digests outside the tree: with fewer leaves than the
// height holds (leaves wrap), more (nodes from 64 on), indices past the leaves.
TEST_F(MiningKernel, PathKernelFollowsTheTreeRule)
{
    const SmallTree small(26);
    gpu::DeviceBuffer<Digest> d_paths;
    ASSERT_EQ(d_paths.allocate(2 * SmallTree::HEIGHT), cudaSuccess);
    struct Case { uint64_t a, b, num_leafs; };
    for (const Case& c : {Case{0, 0, 64}, Case{37, 37, 64}, Case{5, 58, 64}, Case{40, 30, 32}, Case{3, 100, 128},
                          Case{70, 65, 64}}) {
        const MerklePathsParams params{small.buffer.d_merkle_tree, c.num_leafs, SmallTree::HEIGHT, small.commitment,
                                       c.a, c.b, d_paths.get(), d_paths.get() + SmallTree::HEIGHT};
        gpu::launch(compute_merkle_paths_kernel, dim3(1), dim3(1), nullptr, params);
        ASSERT_EQ(support::finish_launch(), cudaSuccess);
        const std::vector<Digest> out = support::to_host(d_paths.get(), 2 * SmallTree::HEIGHT);
        EXPECT_EQ(std::vector<Digest>(out.begin(), out.begin() + 6), small.path(c.a, c.num_leafs)) << c.a << "/" << c.num_leafs;
        EXPECT_EQ(std::vector<Digest>(out.begin() + 6, out.end()), small.path(c.b, c.num_leafs)) << c.b << "/" << c.num_leafs;
    }
}

}  // namespace
