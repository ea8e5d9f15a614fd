// Puzzles, thresholds and the independent check of a submitted solution, for the mining tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hash/digest.h"
#include "hash/field.h"
#include "pow/pow.h"
#include "pow/pow_puzzle.h"
#include "support/guesser_reference.h"

namespace support {

inline std::string threshold_text(uint64_t top)
{
    const uint64_t m = field::P - 1;
    return digest_to_hex_padded(Digest{{m, m, m, m, top}});
}
// About one candidate in 16 meets it: a hit within the first small batch, yet a real test.
inline std::string easy_threshold() { return threshold_text(field::P / 16); }
// Nothing meets it: element 0 would have to lie below zero.
inline std::string impossible_threshold() { return digest_to_hex_padded(Digest{}); }

// A puzzle whose paths are canonical digests derived from `seed`.
inline PowPuzzle test_puzzle(const std::string& id, const std::string& prev_block, const std::string& threshold,
                             uint64_t seed = 1)
{
    PowPuzzle puzzle;
    puzzle.id = id;
    puzzle.prev_block = prev_block;
    puzzle.threshold = threshold;
    puzzle.total_guesser_reward = "1000";
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 3; ++i) puzzle.auth_paths.pow.push_back(digest_to_hex_padded(reference::random_digest(rng)));
    for (int i = 0; i < 2; ++i) puzzle.auth_paths.header.push_back(digest_to_hex_padded(reference::random_digest(rng)));
    puzzle.auth_paths.kernel.push_back(digest_to_hex_padded(reference::random_digest(rng)));
    return puzzle;
}

inline std::string puzzle_reply(const PowPuzzle& puzzle)
{
    nlohmann::json paths = {{"pow", puzzle.auth_paths.pow},
                            {"header", puzzle.auth_paths.header},
                            {"kernel", puzzle.auth_paths.kernel}};
    nlohmann::json body = {{"id", puzzle.id},
                           {"threshold", puzzle.threshold},
                           {"prev_block", puzzle.prev_block},
                           {"total_guesser_reward", puzzle.total_guesser_reward},
                           {"auth_paths", paths}};
    return nlohmann::json{{"msg_type", "pow_puzzle_v1"}, {"puzzle", body}}.dump();
}

// Reads one 80-character digest text; a shorter or longer one fails the test.
inline Digest exact_digest(const nlohmann::json& text)
{
    const std::string s = text.get<std::string>();
    EXPECT_EQ(s.size(), DIGEST_HEX_LENGTH) << s;
    const Digest d = hex_to_digest(s);
    EXPECT_EQ(digest_to_hex_padded(d), s);
    return d;
}

struct CheckedSolution {
    std::string proposal_id;
    uint64_t nonce_counter = 0;
    Pow pow;
};

// Checks a "SubmitSolution" line against `puzzle` from first principles: the texts read back
// exactly, the root is the tree's root, both paths fold from the recomputed leaves to it, and the
// fast MAST hash meets the threshold.
inline CheckedSolution check_submission(const std::string& line, const PowPuzzle& puzzle, uint64_t tree_height)
{
    CheckedSolution out;
    const nlohmann::json message = nlohmann::json::parse(line);
    const nlohmann::json& body = message.at("SubmitSolution");
    out.proposal_id = body.at("proposal_id").get<std::string>();
    const nlohmann::json& pow = body.at("pow");
    EXPECT_EQ(pow.at("path_a").size(), GUESSER_TREE_HEIGHT);
    EXPECT_EQ(pow.at("path_b").size(), GUESSER_TREE_HEIGHT);
    out.pow.root = exact_digest(pow.at("root"));
    out.pow.nonce = exact_digest(pow.at("nonce"));
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT && i < pow.at("path_a").size(); ++i) {
        out.pow.path_a[i] = exact_digest(pow.at("path_a")[i]);
        out.pow.path_b[i] = exact_digest(pow.at("path_b")[i]);
    }
    out.nonce_counter = out.pow.nonce[0];

    const PowMastPaths mast = convertToPowMastPaths(puzzle.auth_paths);
    const Digest commitment = mast.commit();
    const reference::Tree tree = reference::build_tree(commitment, tree_height);
    EXPECT_EQ(out.pow.root, tree.root());
    const Digest final_hash = reference::H(tree.root(), commitment);
    const uint64_t mask = (uint64_t(1) << tree_height) - 1;
    const auto [index_a, index_b] = Pow::indices(final_hash, out.pow.nonce, mask);
    const std::vector<Digest> path_a(out.pow.path_a, out.pow.path_a + tree_height);
    const std::vector<Digest> path_b(out.pow.path_b, out.pow.path_b + tree_height);
    EXPECT_EQ(reference::root_from_path(tree.leaves[index_a], index_a, path_a), tree.root());
    EXPECT_EQ(reference::root_from_path(tree.leaves[index_b], index_b, path_b), tree.root());
    for (size_t i = tree_height; i < GUESSER_TREE_HEIGHT; ++i) {
        EXPECT_EQ(out.pow.path_a[i], Digest{});
        EXPECT_EQ(out.pow.path_b[i], Digest{});
    }
    const Digest threshold = parseDigestString(puzzle.threshold);
    EXPECT_TRUE(digest_less_than_or_equal(mast.fast_mast_hash(out.pow), threshold));
    return out;
}

}  // namespace support
