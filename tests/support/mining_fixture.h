// Puzzles, thresholds and the independent check of a found solution, for the mining tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/puzzle_check.h"
#include "hash/field.h"
#include "support/guesser_reference.h"

namespace support {

// About one candidate in 16 meets it: a hit within the first small batch, yet a real test.
inline std::string easy_threshold()
{
    const uint64_t m = field::P - 1;
    return digest_to_hex_padded(Digest{{m, m, m, m, field::P / 16}});
}
// Nothing meets it: element 0 would have to lie below zero.
inline std::string impossible_threshold() { return digest_to_hex_padded(Digest{}); }

// A puzzle whose paths are canonical digests derived from `seed`.
inline PowPuzzle test_puzzle(const std::string& id, const std::string& prev_block, const std::string& threshold,
                             uint64_t seed = 1)
{
    std::mt19937_64 rng(seed);
    auto next = [&rng] { return digest_to_hex_padded(reference::random_digest(rng)); };
    return PowPuzzle{{{next(), next(), next()}, {next(), next()}, {next()}}, threshold, "1000", id, prev_block};
}

inline CheckedPuzzle checked(const PowPuzzle& puzzle)
{
    CheckedPuzzle out;
    EXPECT_EQ(checkPuzzle(puzzle, out), "");
    return out;
}

inline std::string puzzle_reply(const PowPuzzle& p)
{
    const nlohmann::json paths = {
        {"pow", p.auth_paths.pow}, {"header", p.auth_paths.header}, {"kernel", p.auth_paths.kernel}};
    return nlohmann::json{{"msg_type", "pow_puzzle_v1"},
                          {"puzzle", {{"id", p.id}, {"threshold", p.threshold}, {"prev_block", p.prev_block},
                                      {"total_guesser_reward", p.total_guesser_reward}, {"auth_paths", paths}}}}
        .dump();
}

// Checks a found Pow from first principles: the root is the tree's, both paths fold from the
// recomputed leaves of its nonce's indices to it (zero above the tree), the hash meets the threshold.
inline void check_pow(const Pow& pow, const CheckedPuzzle& puzzle, uint64_t tree_height)
{
    const Digest commitment = puzzle.mast_paths.commit();
    const reference::Tree tree = reference::build_tree(commitment, tree_height);
    EXPECT_EQ(pow.root, tree.root());
    const auto [a, b] =
        Pow::indices(reference::H(tree.root(), commitment), pow.nonce, (uint64_t(1) << tree_height) - 1);
    EXPECT_EQ(reference::root_from_path(tree.leaves[a], a, {pow.path_a, pow.path_a + tree_height}), tree.root());
    EXPECT_EQ(reference::root_from_path(tree.leaves[b], b, {pow.path_b, pow.path_b + tree_height}), tree.root());
    for (size_t i = tree_height; i < GUESSER_TREE_HEIGHT; ++i)
        EXPECT_TRUE(pow.path_a[i] == Digest{} && pow.path_b[i] == Digest{});
    EXPECT_TRUE(digest_less_than_or_equal(puzzle.mast_paths.fast_mast_hash(pow), puzzle.threshold));
}

// Reads a "SubmitSolution" line back (every digest text exactly 80 characters), checks its Pow as
// above and returns its nonce counter.
inline uint64_t check_submission(const std::string& line, const PowPuzzle& puzzle, uint64_t tree_height)
{
    const nlohmann::json body = nlohmann::json::parse(line).at("SubmitSolution"), texts = body.at("pow");
    EXPECT_EQ(body.at("proposal_id"), puzzle.id);
    auto digest = [](const nlohmann::json& text) {
        EXPECT_EQ(text.get<std::string>().size(), DIGEST_HEX_LENGTH) << text;
        return hex_to_digest(text.get<std::string>());
    };
    Pow pow;
    pow.root = digest(texts.at("root"));
    pow.nonce = digest(texts.at("nonce"));
    EXPECT_EQ(texts.at("path_a").size() + texts.at("path_b").size(), 2 * GUESSER_TREE_HEIGHT);
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT && i < texts.at("path_a").size(); ++i)
        pow.path_a[i] = digest(texts.at("path_a")[i]), pow.path_b[i] = digest(texts.at("path_b")[i]);
    check_pow(pow, checked(puzzle), tree_height);
    return pow.nonce[0];
}

// The range indices each card of a rig started, in order, from the driver's debug line.
inline std::map<int, std::vector<uint64_t>> ranges_by_card(const std::string& out)
{
    static const std::regex line(R"(GPU (\d+): Nonce offset \(range index\): (\d+),)");
    std::map<int, std::vector<uint64_t>> ranges;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        ranges[std::stoi((*it)[1])].push_back(std::stoull((*it)[2]));
    return ranges;
}

}  // namespace support
