// The puzzle request, the canonical puzzle text and its parser, and the fetcher's reading of
// replies into checked puzzles.
#include <gtest/gtest.h>

#include "bridge/bridge_reply.h"
#include "bridge/puzzle_message.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"

namespace {

using nlohmann::json;
using support::capture_output;

TEST(PuzzleMessage, CanonicalTextHasEveryMemberInKeyOrderAndParsesBack)
{
    EXPECT_EQ(puzzle_request_message().dump(), "{\"RequestPuzzle\":null}");
    PowPuzzle puzzle{{{"p0", "p1", "p2"}, {"h0", "h1"}, {"k0"}}, "[1,2,3,4,5]", "12.5", "puzzle-\xC3\xA9", "ab01"};
    const std::string text = canonical_puzzle_text(puzzle);
    EXPECT_EQ(text, "{\"auth_paths\":{\"header\":[\"h0\",\"h1\"],\"kernel\":[\"k0\"],\"pow\":[\"p0\",\"p1\",\"p2\"]},\"id\":"
                    "\"puzzle-\xC3\xA9\",\"prev_block\":\"ab01\",\"threshold\":\"[1,2,3,4,5]\",\"total_guesser_reward\":\"12.5\"}");
    EXPECT_EQ(parsePowPuzzle(text), puzzle);
    // A library error ends the parse with what was filled: paths, threshold, reward, id, prev_block.
    const std::vector<std::tuple<std::string, PowPuzzle, bool>> cases = {  // text, puzzle, error line
        {"[1,2]", {}, false}, {"{\"id\":", {}, true},
        {"{\"auth_paths\":{\"kernel\":[\"k\"],\"pow\":[\"p\"]},\"threshold\":5,\"id\":\"x\"}", {{{"p"}, {}, {"k"}}}, true},
        {"{\"auth_paths\":{\"pow\":[\"a\",7]},\"id\":\"x\"}", {{{"a"}, {}, {}}}, true},
        {"{\"auth_paths\":{\"pow\":\"p\"},\"id\":\"x\"}", {}, true},
        {"{\"auth_paths\":[[\"p\"]],\"total_guesser_reward\":-3,\"id\":\"x\"}", {{}, "", "-3", "x", ""}, false},
        {"{\"total_guesser_reward\":true,\"id\":\"r\"}", {{}, "", "", "r", ""}, false}};
    for (const auto& [text, expected, error] : cases) {
        PowPuzzle parsed;
        EXPECT_EQ(capture_output([&] { parsed = parsePowPuzzle(text); }).err.rfind("JSON parsing error: [json.exception.", 0),
                  error ? 0u : std::string::npos) << text;
        EXPECT_EQ(parsed, expected) << text;
    }
}

BridgeReply accept(const std::string& reply, std::string& output, const std::string& last_id = "")
{
    BridgeReply result;
    const support::CapturedOutput o = capture_output([&] { result = acceptBridgeReply(json::parse(reply), last_id); });
    output = o.out + o.err;
    return result;
}

TEST(FetcherReply, ANewIdIsAnnouncedAsCanonicalTextAndACheckedRecord)
{
    PowPuzzle puzzle = support::test_puzzle("abcdef0123456789XYZ", "pb", "[1,2,3,4,5]");
    json reply = json::parse(support::puzzle_reply(puzzle));
    reply["puzzle"]["total_guesser_reward"] = 12.5;  // any JSON value travels as its compact text
    std::string out;
    BridgeReply r = accept(reply.dump(), out);
    EXPECT_EQ(r.outcome, ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(out, "🎯 Threshold: \"[1,2,3,4,5]\"\n\n🔄 New puzzle detected from bridge! ID: abcdef0123456789...\n");
    puzzle.total_guesser_reward = "12.5";
    EXPECT_EQ(r.canonical_text, canonical_puzzle_text(puzzle));
    EXPECT_EQ(r.puzzle_id + r.puzzle.id + r.puzzle.prev_block + r.puzzle.total_guesser_reward + r.puzzle.threshold_text,
              puzzle.id + puzzle.id + "pb12.5[1,2,3,4,5]");
    EXPECT_EQ(r.puzzle.threshold, (Digest{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(r.puzzle.mast_paths.commit(), convertToPowMastPaths(puzzle.auth_paths).commit());

    reply["puzzle"]["threshold"] = json::array({9, 9, 9, 9, 9});  // the same id again: logged, nothing else
    EXPECT_EQ(accept(reply.dump(), out, puzzle.id).outcome, ReplyOutcome::SAME_PUZZLE);
    EXPECT_EQ(out, "🎯 Threshold: [9,9,9,9,9]\n");
    r = accept(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"bare","auth_paths":[["p"]],"prev_block":17}})", out);
    EXPECT_EQ(r.canonical_text, canonical_puzzle_text(PowPuzzle{{}, "", "", "bare", "17"}));
    EXPECT_EQ(r.puzzle.mast_paths.commit(), PowMastPaths{}.commit());  // missing paths are zero digests
    EXPECT_THROW(acceptBridgeReply(json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"x","auth_paths":{"pow":[1]}}})"), ""),
                 json::type_error);
}

TEST(FetcherReply, RepliesThatCannotBeMinedOrAreNoPuzzle)
{
    auto with = [](const std::string& entry, const std::string& text) {
        PowPuzzle p = support::test_puzzle("refused-0123456789", "b", support::easy_threshold());
        (entry == "threshold" ? p.threshold : entry == "pow" ? p.auth_paths.pow[1] : p.auth_paths.kernel[0]) = text;
        p.auth_paths.header.push_back("not used");  // beyond the used entries
        return support::puzzle_reply(p);
    };
    const std::string p = "Error: puzzle refused-01234567... refused: ";
    const std::string top = digest_to_hex_padded(Digest{{field::P - 1, 0, 0, 0, field::P - 1}});
    const std::vector<std::tuple<std::string, ReplyOutcome, std::string>> cases = {  // reply, outcome, error stream
        {with("pow", "0x1f"), ReplyOutcome::NEW_PUZZLE, ""}, {with("pow", top), ReplyOutcome::NEW_PUZZLE, ""},
        {with("threshold", ""), ReplyOutcome::NEW_PUZZLE, ""}, {with("threshold", "[1,2]"), ReplyOutcome::NEW_PUZZLE, ""},
        {with("pow", "0x"), ReplyOutcome::REFUSED, p + "auth path pow[1] is empty\n"},
        {with("pow", std::string(82, '1')), ReplyOutcome::REFUSED, p + "auth path pow[1] has more than 80 hex digits\n"},
        {with("kernel", "1g"), ReplyOutcome::REFUSED, p + "auth path kernel[0] is not hexadecimal\n"},
        {with("kernel", digest_to_hex_padded(Digest{{0, 0, 0, 0, field::P}})), ReplyOutcome::REFUSED,
         p + "auth path kernel[0] holds element 4 >= p\n"},
        {with("threshold", "ffzz"), ReplyOutcome::REFUSED, p + "threshold is not hexadecimal\n"},
        {R"({"msg_type":"pow_puzzle_v1","puzzle":{"threshold":"t"}})", ReplyOutcome::EMPTY_ID, ""},
        {R"({"msg_type":"error","message":"Sorry: No puzzle available yet"})", ReplyOutcome::NO_PUZZLE_AVAILABLE, ""},
        {R"({"msg_type":"error","message":"node is syncing"})", ReplyOutcome::BRIDGE_ERROR, "Bridge error: node is syncing\n"},
        {R"({"msg_type":"error"})", ReplyOutcome::BRIDGE_ERROR, "Bridge error: Unknown error\n"},
        {"{}", ReplyOutcome::IGNORED, ""}, {R"({"msg_type":"pow_puzzle_v1"})", ReplyOutcome::IGNORED, ""},
        {R"({"msg_type":"solution_accepted"})", ReplyOutcome::IGNORED, ""}};
    for (const auto& [reply, outcome, err] : cases) {
        std::string out;
        const BridgeReply r = accept(reply, out);
        EXPECT_EQ(r.outcome, outcome) << reply;
        const bool announced = outcome == ReplyOutcome::NEW_PUZZLE || outcome == ReplyOutcome::REFUSED;
        EXPECT_EQ(r.puzzle_id, announced ? "refused-0123456789" : "");  // a refused id is remembered: reported once
        EXPECT_EQ(out.substr(out.size() - err.size()), err);
        EXPECT_EQ(out.find("Puzzle from bridge has empty ID\n") != std::string::npos, outcome == ReplyOutcome::EMPTY_ID);
        EXPECT_EQ(r.error, outcome == ReplyOutcome::BRIDGE_ERROR ? json::parse(reply).value("message", "Unknown error") : "");
    }
}

}  // namespace
