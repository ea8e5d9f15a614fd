// Seeded random inputs through the bridge's input handling (the libFuzzer target in fuzz/ runs the
// same properties without a fixed budget).
#include <gtest/gtest.h>

#include <random>

#include "support/bridge_input_check.h"
#include "support/captured_output.h"

namespace {

const std::vector<std::string> kSeeds = {
    R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"abc","threshold":[1,2,3,4,5],"total_guesser_reward":12.5,)"
    R"("prev_block":"pb","auth_paths":{"pow":["0x1","a2","03"],"header":["h0","11"],"kernel":["ff"]}}})",
    R"({"msg_type":"error","message":"No puzzle available"})", R"([[{"msg_type":"pow_puzzle_v1","puzzle":{"id":7}}]])"};

// Random edits of a seed, biased toward JSON punctuation, line feeds and NUL bytes.
std::string mutate(std::mt19937_64& random, std::string text)
{
    static const std::string alphabet = std::string("{}[]\":,\\\n ntrufalse0123456789abcdef.-\xC3\xA9\xFF") + '\0';
    for (int e = 1 + static_cast<int>(random() % 8); e > 0; --e) {
        const size_t at = random() % (text.size() + 1);
        const char c = alphabet[random() % alphabet.size()];
        switch (random() % 3) {
        case 0: text.insert(at, 1, c); break;
        case 1: text.erase(at, 1 + random() % 4); break;
        default: text.insert(at, text.substr(random() % (text.size() + 1), random() % 16)); break;
        }
    }
    return text;
}

TEST(BridgeRandomInput, LinesRepliesAndPuzzleTextsHoldTheirProperties)
{
    std::mt19937_64 random(20261207);
    std::string problem;
    support::capture_output([&] {
        for (int round = 0; round < 3000 && problem.empty(); ++round) {
            std::string bytes;
            for (int p = 1 + static_cast<int>(random() % 4); p > 0; --p) bytes += mutate(random, kSeeds[random() % 3]) + "\n";
            const size_t limit = random() % 2 ? 1 + random() % 200 : size_t{1} << 20;
            problem = support::check_line_splitting(bytes, 1 + random() % 300, limit);
            if (problem.empty()) problem = support::check_reply_line(bytes.substr(0, bytes.find('\n')));
            if (!problem.empty()) problem += " in round " + std::to_string(round);
        }
    });
    EXPECT_EQ(problem, "");
}

}  // namespace
