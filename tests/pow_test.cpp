#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>
#include <functional>
#include <stdexcept>

#include "mining/mining_hash.h"
#include "support/guesser_reference.h"

namespace {

using reference::H;

std::vector<uint64_t> elements_of(const std::vector<const Digest*>& digests)
{
    std::vector<uint64_t> out;
    for (const Digest* d : digests) out.insert(out.end(), d->elements, d->elements + Digest::LENGTH);
    return out;
}

// The block hash written out from its definition; bit s of `swapped` exchanges the operands of pair hash s.
Digest block_hash_model(const PowMastPaths& p, const Pow& pow, unsigned swapped = 0)
{
    auto h = [&](int step, const Digest& a, const Digest& b) { return (swapped >> step) & 1 ? H(b, a) : H(a, b); };
    std::vector<const Digest*> encoding{&pow.nonce};
    for (const Digest* path : {pow.path_b, pow.path_a})
        for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) encoding.push_back(&path[j]);
    encoding.push_back(&pow.root);
    const Digest h3 = h(2, p.pow[2], h(1, h(0, reference::sequence_hash(elements_of(encoding)), p.pow[0]), p.pow[1]));
    const Digest g2 = h(4, h(3, reference::sequence_hash(elements_of({&h3})), p.header[0]), p.header[1]);
    return h(5, reference::sequence_hash(elements_of({&g2})), p.kernel[0]);
}

TEST(ConvertToPowMastPaths, UsesTheFirstEntriesZeroFillsMissingOnesAndPassesOnParseErrors)
{
    const std::string a = "0102030405060708" + std::string(64, '0'), b = std::string(78, '0') + "ff", c = "0x11";
    const PowMastPaths exact = convertToPowMastPaths({{a, b, c}, {b, c}, {c}});
    const PowMastPaths extra = convertToPowMastPaths({{a, b, c, a}, {b, c, b}, {c, a}});
    EXPECT_EQ(0, std::memcmp(&exact, &extra, sizeof(PowMastPaths)));
    EXPECT_TRUE(exact.pow[0][0] == 0x0807060504030201ull && exact.pow[1][4] == 0xff00000000000000ull && exact.pow[2][0] == 0x11);
    EXPECT_TRUE(exact.header[0] == exact.pow[1] && exact.header[1] == exact.pow[2] && exact.kernel[0] == exact.pow[2]);
    const PowMastPaths partial = convertToPowMastPaths({{a}, {}, {b}}), empty = convertToPowMastPaths({}), zero{};
    EXPECT_TRUE(partial.pow[0] == exact.pow[0] && partial.pow[1] == Digest{} && partial.header[0] == Digest{});
    EXPECT_EQ(partial.kernel[0], exact.pow[1]);
    EXPECT_EQ(0, std::memcmp(&empty, &zero, sizeof(PowMastPaths)));
    EXPECT_THROW(convertToPowMastPaths({{"00", "zz"}, {}, {}}), std::invalid_argument);
    EXPECT_NO_THROW(convertToPowMastPaths({{"00", "00", "00", "zz"}, {"00", "00", "zz"}, {"00", "zz"}}));
}

TEST(PowHash, CommitmentIndicesAndBlockHashFollowTheirDefinitions)
{
    std::mt19937_64 rng(1);
    const PowMastPaths p = reference::random_paths(rng);
    EXPECT_EQ(p.commit(), reference::sequence_hash(elements_of({&p.pow[0], &p.pow[1], &p.pow[2], &p.header[0], &p.header[1], &p.kernel[0]})));
    EXPECT_EQ(PowMastPaths{}.commit(), reference::sequence_hash(std::vector<uint64_t>(30, 0)));

    const Digest f = reference::random_digest(rng), n = reference::random_digest(rng);
    Digest d = H(f, n);
    for (int i = 0; i < 62; ++i) d = H(d, Digest{});
    EXPECT_EQ(Pow::indices(f, n), std::make_pair(d[0] & 0x1FFFFFFF, d[1] & 0x1FFFFFFF));
    EXPECT_EQ(Pow::indices(f, n, 0xFF), std::make_pair(d[0] & 0xFF, d[1] & 0xFF));

    const Pow pow = reference::random_pow(rng);
    const Digest h = p.fast_mast_hash(pow);
    EXPECT_EQ(h, block_hash_model(p, pow));
    for (unsigned step = 0; step < 6; ++step) EXPECT_NE(h, block_hash_model(p, pow, 1u << step)) << step;
    EXPECT_EQ(PowMastPaths{}.fast_mast_hash(Pow{}), block_hash_model(PowMastPaths{}, Pow{}));
}

// What each costs, counted on the same source the kernels run; a candidate of the nonce search
// equals the block hash of the Pow its paths make.
TEST(PowHash, PermutationsPerOperation)
{
    std::mt19937_64 rng(4);
    const PowMastPaths p = reference::random_paths(rng);
    const Pow pow = reference::random_pow(rng);
    const Digest commitment = p.commit(), nonce = reference::random_digest(rng);
    const reference::Tree tree = reference::build_tree(commitment, 6);
    const Digest final_hash = H(tree.root(), commitment);
    const auto [index_a, index_b] = Pow::indices(final_hash, nonce, 63);
    const Pow candidate = reference::candidate(tree, index_a, index_b, nonce);
    uint64_t count = 0, a = 0, b = 0;
    std::array<uint64_t, 7> shapes{};
    const CountingPermutation permute{&count, shapes.data()};
    const mining::TreeView built{nullptr, 0, tree.nodes.data(), 64, 6}, stored{tree.leaves.data(), 64, tree.nodes.data(), 64, 6};
    const mining::TreeView half{tree.leaves.data(), 32, tree.nodes.data(), 64, 6};  // leaves 32 to 63 built
    const uint64_t k = ((index_a ^ 1) >= 32) + ((index_b ^ 1) >= 32);            // its sibling leaves built
    const mining::BuiltLeaves given{commitment};
    const mining::ReferenceLeaves recomputed{p};
    const auto candidate_hash = [&](const mining::TreeView& view, const auto& leaves) {
        return mining::candidate_hash(view, p, tree.root(), final_hash, nonce, leaves, permute).hash ==
               p.fast_mast_hash(candidate);
    };
    // By shape (tip5::Shape): full, digest, pair, pair_word, pair_zero, short_hash, padding —
    // scripts/kernel-stats.sh models a candidate from the same counts.
    const std::pair<std::array<uint64_t, 7>, std::function<bool()>> cases[] = {
        {{3, 1, 0, 0, 0, 0, 0}, [&] { return pow_hash::commitment(p, permute) == commitment; }},
        {{0, 0, 1, 0, 62, 0, 0}, [&] { return pow_hash::indices(final_hash, nonce, 63, a, b, permute), a == index_a && b == index_b; }},
        {{30, 0, 6, 0, 0, 2, 1}, [&] { return pow_hash::fast_mast_hash(p, pow, permute) == p.fast_mast_hash(pow); }},
        {{0, 0, 31, 32, 0, 0, 0}, [&] { return pow_hash::leaf(commitment, 63, 64, permute) == tree.leaves[63]; }},
        {{30, 0, 69, 64, 62, 2, 1}, [&] { return candidate_hash(built, given); }},  // 228: 63 + 2 x 63 + 39
        {{36, 2, 133, 0, 62, 2, 1}, [&] { return candidate_hash(built, recomputed); }},  // 236: the commitment per leaf
        {{30, 0, 7, 0, 62, 2, 1}, [&] { return candidate_hash(stored, given); }},  // 102
        {{30, 0, 7 + 31 * k, 32 * k, 62, 2, 1}, [&] { return candidate_hash(half, given); }},  // 102 + 63 k
    };
    for (const auto& [expected, run] : cases) {
        count = 0, shapes = {};
        EXPECT_TRUE(run()) << expected[0];
        EXPECT_EQ(shapes, expected);
        EXPECT_EQ(count, std::accumulate(expected.begin(), expected.end(), uint64_t{0}));
    }
}

}  // namespace
