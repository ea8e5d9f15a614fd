// Seeded random inputs through the bridge's input handling (the libFuzzer target in fuzz/ runs the
// same properties without a fixed budget).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/bridge_input_check.h"

namespace {

const std::vector<std::string> kSeeds = {
    R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"abc","threshold":[1,2,3,4,5],"total_guesser_reward":12.5,)"
    R"("prev_block":"pb","auth_paths":{"pow":["p0","p1","p2"],"header":["h0","h1"],"kernel":["k0"]}}})",
    R"({"msg_type":"error","message":"No puzzle available"})",
    R"({"auth_paths":{"header":[],"kernel":[],"pow":[]},"id":"x","prev_block":"","threshold":"","total_guesser_reward":""})",
    R"([[{"msg_type":"pow_puzzle_v1","puzzle":{"id":7}}]])",
};

// Random edits of a seed, biased toward JSON punctuation, line feeds and NUL bytes.
std::string mutate(std::mt19937_64& random, std::string text)
{
    static const char kAlphabet[] = "{}[]\":,\\\n ntrufalse0123456789.-eE\xC3\xA9\xFF";
    static const std::string alphabet = std::string(kAlphabet, sizeof kAlphabet - 1) + '\0';
    std::uniform_int_distribution<int> edits(1, 8);
    for (int e = edits(random); e > 0; --e) {
        const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
        const char c = alphabet[random() % alphabet.size()];
        switch (random() % 4) {
        case 0: text.insert(at, 1, c); break;
        case 1: if (at < text.size()) text.erase(at, 1 + random() % 4); break;
        case 2: if (at < text.size()) text[at] = c; break;
        default: text.insert(at, text.substr(random() % (text.size() + 1), random() % 16)); break;
        }
    }
    return text;
}

TEST(BridgeRandomInput, LineSplittingMatchesTheReferenceSplit)
{
    std::mt19937_64 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        const int pieces = 1 + static_cast<int>(random() % 6);
        for (int p = 0; p < pieces; ++p) bytes += mutate(random, kSeeds[random() % kSeeds.size()]) + (random() % 3 ? "\n" : "");
        const std::size_t chunk = 1 + random() % 300;
        const std::size_t limit = random() % 2 ? 1 + random() % 200 : std::size_t{1} << 20;
        const std::string problem = support::check_line_splitting(bytes, chunk, limit);
        ASSERT_EQ(problem, "") << "round " << round << " chunk " << chunk << " limit " << limit;
    }
}

TEST(BridgeRandomInput, RepliesAndPuzzleTextsNeverEscapeOrDrift)
{
    std::mt19937_64 random(7);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string problem;
    int round = 0;
    for (; round < 3000 && problem.empty(); ++round) {
        std::string line = mutate(random, kSeeds[random() % kSeeds.size()]);
        line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
        problem = support::check_reply_line(line);
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(problem, "") << "round " << round;
}

}  // namespace
