#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "cli/test_data.h"
#include "kernels/pow_kernels.h"
#include "pow/pow.h"
#include "pow/pow_hash.h"
#include "support/counting_permutation.h"
#include "support/expected_puzzle.h"
#include "support/guesser_reference.h"

namespace {

using reference::H;
using reference::random_digest;
using reference::random_paths;
using reference::random_pow;
using reference::sequence_hash;

void append(std::vector<uint64_t>& v, const Digest& d)
{
    v.insert(v.end(), d.elements, d.elements + 5);
}

// The block hash written out step by step; bit s of `swapped` exchanges the operands of pair hash s.
Digest block_hash_model(const PowMastPaths& p, const Pow& pow, unsigned swapped = 0)
{
    auto h = [&](int step, const Digest& a, const Digest& b) { return (swapped >> step) & 1 ? H(b, a) : H(a, b); };
    std::vector<uint64_t> encoding;
    append(encoding, pow.nonce);
    for (const Digest& d : pow.path_b) append(encoding, d);
    for (const Digest& d : pow.path_a) append(encoding, d);
    append(encoding, pow.root);
    EXPECT_EQ(encoding.size(), 300u);
    Digest h1 = h(0, sequence_hash(encoding), p.pow[0]);
    Digest h2 = h(1, h1, p.pow[1]);
    Digest h3 = h(2, p.pow[2], h2);
    Digest g1 = h(3, sequence_hash(std::vector<uint64_t>(h3.elements, h3.elements + 5)), p.header[0]);
    Digest g2 = h(4, g1, p.header[1]);
    return h(5, sequence_hash(std::vector<uint64_t>(g2.elements, g2.elements + 5)), p.kernel[0]);
}

std::pair<uint64_t, uint64_t> indices_model(const Digest& final_hash, const Digest& nonce, uint64_t mask)
{
    Digest d = H(final_hash, nonce);
    for (int i = 0; i < 62; ++i) d = H(d, Digest{});
    return {d[0] & mask, d[1] & mask};
}

TEST(ConvertToPowMastPaths, UsesTheFirstEntriesAndZeroFillsMissingOnes)
{
    const std::string a = "0102030405060708" + std::string(64, '0');
    const std::string b = std::string(78, '0') + "ff";
    const std::string c = "0x11";
    PowPuzzle::AuthPaths full{{a, b, c, a}, {b, c, b}, {c, a}};
    PowPuzzle::AuthPaths exact{{a, b, c}, {b, c}, {c}};
    PowMastPaths from_full = convertToPowMastPaths(full);
    PowMastPaths from_exact = convertToPowMastPaths(exact);
    EXPECT_EQ(0, std::memcmp(&from_full, &from_exact, sizeof(PowMastPaths)));
    EXPECT_EQ(from_exact.pow[0][0], 0x0807060504030201ull);
    EXPECT_EQ(from_exact.pow[1][4], 0xff00000000000000ull);
    EXPECT_EQ(from_exact.pow[2][0], 0x11u);  // "0x" prefix taken off by hex_to_digest
    EXPECT_EQ(from_exact.header[0], from_exact.pow[1]);
    EXPECT_EQ(from_exact.kernel[0], from_exact.pow[2]);

    PowMastPaths partial = convertToPowMastPaths(PowPuzzle::AuthPaths{{a}, {}, {b}});
    EXPECT_EQ(partial.pow[0], from_exact.pow[0]);
    EXPECT_EQ(partial.pow[1], Digest{});
    EXPECT_EQ(partial.pow[2], Digest{});
    EXPECT_EQ(partial.header[0], Digest{});
    EXPECT_EQ(partial.kernel[0], from_exact.pow[1]);

    PowMastPaths empty = convertToPowMastPaths(PowPuzzle::AuthPaths{});
    const PowMastPaths zero{};
    EXPECT_EQ(0, std::memcmp(&empty, &zero, sizeof(PowMastPaths)));
    EXPECT_EQ(empty.commit(), sequence_hash(std::vector<uint64_t>(30, 0)));
}

TEST(ConvertToPowMastPaths, PassesOnTheHexParserError)
{
    PowPuzzle::AuthPaths bad{{"zz"}, {}, {}};
    try {
        convertToPowMastPaths(bad);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "stoi");
    }
    // Only the used entries are parsed.
    EXPECT_NO_THROW(convertToPowMastPaths(PowPuzzle::AuthPaths{{"00", "00", "00", "zz"}, {}, {}}));
}

TEST(PowMastPathsCommit, HashesTheThirtyElementsInMemberOrder)
{
    std::mt19937_64 rng(1);
    for (int round = 0; round < 4; ++round) {
        PowMastPaths p = random_paths(rng);
        std::vector<uint64_t> elements;
        for (const Digest& d : p.pow) append(elements, d);
        for (const Digest& d : p.header) append(elements, d);
        append(elements, p.kernel[0]);
        EXPECT_EQ(p.commit(), sequence_hash(elements));
        PowMastPaths swapped = p;
        std::swap(swapped.pow[0], swapped.header[0]);
        EXPECT_NE(swapped.commit(), p.commit());
    }
}

TEST(PowMastPathsCommit, KnownAnswerOfTheBuiltInTestPaths)
{
    const ExpectedPuzzle expected = load_expected_puzzle();
    EXPECT_EQ(digest_to_hex_padded(TestData::get_mast_paths().commit()),
              "2ad163f65ce02c244f2e086cb1edb5c434cf36bdbd4f0eb71d92769991e7fe56fb3edc47e67ba3f5");
    EXPECT_EQ(TestData::get_mast_paths().commit(), expected.commitment);
    // The buffer hash of that tree is H(root, commitment).
    EXPECT_EQ(H(expected.merkle_root, expected.commitment), expected.final_hash);
}

TEST(PowIndices, KnownAnswersOfTheBuiltInTestBuffer)
{
    const ExpectedPuzzle expected = load_expected_puzzle();
    auto [a, b] = Pow::indices(expected.final_hash, TestData::get_start_nonce());
    EXPECT_EQ(a, expected.index_a);
    EXPECT_EQ(b, expected.index_b);
    EXPECT_EQ(a, 104760745u);
    EXPECT_EQ(b, 164794829u);
}

TEST(PowIndices, IteratedPairHashMaskedToTheTreeWidth)
{
    std::mt19937_64 rng(2);
    for (int round = 0; round < 6; ++round) {
        Digest f = random_digest(rng), n = random_digest(rng);
        auto [a, b] = Pow::indices(f, n);
        EXPECT_EQ(std::make_pair(a, b), indices_model(f, n, GUESSER_INDEX_MASK));
        EXPECT_LT(a, 536870912u);
        EXPECT_LT(b, 536870912u);
        // The operands are ordered: final hash left, nonce right.
        EXPECT_NE(Pow::indices(n, f), std::make_pair(a, b));
        auto [sa, sb] = Pow::indices(f, n, GuesserGeometry{8}.index_mask());
        EXPECT_EQ(sa, a & 0xFF);
        EXPECT_EQ(sb, b & 0xFF);
    }
    // Extreme inputs still give in-range indices.
    const Digest top{{field::P - 1, field::P - 1, field::P - 1, field::P - 1, field::P - 1}};
    auto [a, b] = Pow::indices(top, Digest{});
    EXPECT_LE(a, GUESSER_INDEX_MASK);
    EXPECT_LE(b, GUESSER_INDEX_MASK);
}

TEST(FastMastHash, EveryPairHashOrderAndTheEncodingOrderMatter)
{
    std::mt19937_64 rng(3);
    const PowMastPaths p = random_paths(rng);
    const Pow pow = random_pow(rng);
    const Digest h = p.fast_mast_hash(pow);
    EXPECT_EQ(h, block_hash_model(p, pow));
    for (unsigned step = 0; step < 6; ++step)
        EXPECT_NE(h, block_hash_model(p, pow, 1u << step)) << "pair hash " << step << " is order-blind";

    Pow exchanged = pow;
    std::swap(exchanged.path_a, exchanged.path_b);
    EXPECT_NE(p.fast_mast_hash(exchanged), h);
    Pow reversed = pow;
    std::swap(reversed.root, reversed.nonce);
    EXPECT_NE(p.fast_mast_hash(reversed), h);
    Pow one_entry = pow;
    one_entry.path_a[28][4] ^= 1;
    EXPECT_NE(p.fast_mast_hash(one_entry), h);
}

TEST(FastMastHash, DefaultPowIsAllZero)
{
    Pow pow;
    const auto* words = reinterpret_cast<const uint64_t*>(&pow);
    for (size_t i = 0; i < sizeof(Pow) / 8; ++i) ASSERT_EQ(words[i], 0u) << i;
    PowMastPaths p{};
    EXPECT_EQ(p.fast_mast_hash(pow), block_hash_model(p, pow));
}

TEST(SolutionTest, HostAcceptsEqualityAndElementZeroDecidesLast)
{
    const Digest t{{10, 20, 30, 40, 50}};
    EXPECT_TRUE(digest_less_than_or_equal(t, t));
    EXPECT_TRUE(digest_less_than_or_equal(Digest{{9, 20, 30, 40, 50}}, t));
    EXPECT_FALSE(digest_less_than_or_equal(Digest{{11, 20, 30, 40, 50}}, t));
    EXPECT_TRUE(digest_less_than_or_equal(Digest{{99, 99, 99, 99, 49}}, t));
}

TEST(PowHashCost, PermutationsPerOperation)
{
    std::mt19937_64 rng(4);
    uint64_t count = 0;
    const CountingPermutation permute{&count};
    const PowMastPaths p = random_paths(rng);
    const Pow pow = random_pow(rng);

    uint64_t a = 0, b = 0;
    pow_hash::indices(pow.root, pow.nonce, GUESSER_INDEX_MASK, a, b, permute);
    EXPECT_EQ(count, 63u);
    count = 0;
    EXPECT_EQ(pow_hash::fast_mast_hash(p, pow, permute), p.fast_mast_hash(pow));
    EXPECT_EQ(count, 39u);
    count = 0;
    EXPECT_EQ(pow_hash::commitment(p, permute), p.commit());
    EXPECT_EQ(count, 4u);
}

TEST(GuesserLeaf, SlidingWindowOfBudsWrappingAtTheLeafCount)
{
    std::mt19937_64 rng(6);
    const Digest commitment = random_digest(rng);
    uint64_t count = 0;
    const CountingPermutation permute{&count};
    for (uint64_t num_leafs : {uint64_t(64), uint64_t(1) << 29}) {
        for (uint64_t j : {uint64_t(0), uint64_t(17), num_leafs - 31, num_leafs - 1}) {
            count = 0;
            EXPECT_EQ(pow_hash::leaf(commitment, j, num_leafs, permute), reference::leaf(commitment, j, num_leafs))
                << num_leafs << " " << j;
            EXPECT_EQ(count, 63u);
        }
    }
    // Only the window's start moves: neighbouring leaves differ, and the bud index is element 0.
    EXPECT_NE(pow_hash::leaf(commitment, 1, 64, permute), pow_hash::leaf(commitment, 0, 64, permute));
    EXPECT_EQ(pow_hash::bud(commitment, 5, permute), H(commitment, Digest{{5, 0, 0, 0, 0}}));
}

TEST(PowDeviceTwins, AgreeWithTheHostOnRandomInputs)
{
    emu::configure(emu::Config{});
    std::mt19937_64 rng(5);
    constexpr size_t N = 24;
    std::vector<Digest> finals, nonces;
    std::vector<PowMastPaths> paths;
    std::vector<Pow> pows;
    for (size_t i = 0; i < N; ++i) {
        finals.push_back(random_digest(rng));
        nonces.push_back(i == 0 ? finals.back() : random_digest(rng));
        paths.push_back(i == 1 ? PowMastPaths{} : random_paths(rng));
        pows.push_back(i == 1 ? Pow{} : random_pow(rng));
    }
    for (uint64_t mask : {GUESSER_INDEX_MASK, GuesserGeometry{6}.index_mask()}) {
        std::vector<uint64_t> a, b;
        ASSERT_EQ(test_kernels::pow_indices(finals, nonces, mask, a, b), cudaSuccess);
        for (size_t i = 0; i < N; ++i) {
            auto expected = Pow::indices(finals[i], nonces[i], mask);
            EXPECT_EQ(a[i], expected.first) << i;
            EXPECT_EQ(b[i], expected.second) << i;
        }
    }
    std::vector<Digest> hashes, commits;
    ASSERT_EQ(test_kernels::fast_mast_hashes(paths, pows, hashes), cudaSuccess);
    ASSERT_EQ(test_kernels::commitments(paths, commits), cudaSuccess);
    for (size_t i = 0; i < N; ++i) {
        EXPECT_EQ(hashes[i], paths[i].fast_mast_hash(pows[i])) << i;
        EXPECT_EQ(commits[i], paths[i].commit()) << i;
    }
    EXPECT_EQ(emu::live_allocations(), 0u);
}

}  // namespace
