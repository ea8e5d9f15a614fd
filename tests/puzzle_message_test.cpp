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
using support::CapturedOutput;

TEST(PuzzleMessage, CanonicalTextHasEveryMemberInKeyOrderAndParsesBack)
{
    EXPECT_EQ(puzzle_request_message().dump(), "{\"RequestPuzzle\":null}");
    PowPuzzle puzzle{{{"p0", "p1", "p2"}, {"h0", "h1"}, {"k0"}}, "[1,2,3,4,5]", "12.5", "puzzle-\xC3\xA9", "ab01"};
    const std::string text = canonical_puzzle_text(puzzle);
    EXPECT_EQ(text, "{\"auth_paths\":{\"header\":[\"h0\",\"h1\"],\"kernel\":[\"k0\"],\"pow\":[\"p0\",\"p1\",\"p2\"]},"
                    "\"id\":\"puzzle-\xC3\xA9\",\"prev_block\":\"ab01\",\"threshold\":\"[1,2,3,4,5]\",\"total_guesser_reward\":\"12.5\"}");
    EXPECT_EQ(parsePowPuzzle(text), puzzle);
    EXPECT_EQ(canonical_puzzle_text(PowPuzzle{}), "{\"auth_paths\":{\"header\":[],\"kernel\":[],\"pow\":[]},\"id\":\"\","
                                                  "\"prev_block\":\"\",\"threshold\":\"\",\"total_guesser_reward\":\"\"}");
}

TEST(PuzzleMessage, ParserKeepsWhatItFilledBeforeALibraryError)
{
    struct Case {
        std::string text;
        PowPuzzle expected;
        std::string error;  // the start of the error line, empty for none
    };
    const std::vector<Case> cases = {
        {"[1,2]", {}, ""},  // not an object: silently empty
        {"{\"id\":", {}, "JSON parsing error: [json.exception.parse_error"},
        // Keys are read in a fixed order: paths, threshold, reward, id, prev_block.
        {"{\"auth_paths\":{\"kernel\":[\"k\"],\"pow\":[\"p\"]},\"threshold\":5,\"id\":\"x\"}", {{{"p"}, {}, {"k"}}},
         "JSON parsing error: [json.exception.type_error.302]"},
        {"{\"auth_paths\":{\"pow\":[\"a\",7]},\"id\":\"x\"}", {{{"a"}, {}, {}}}, "JSON parsing error: [json.exception.type_error"},
        {"{\"auth_paths\":{\"pow\":\"p\"},\"id\":\"x\"}", {}, "JSON parsing error: [json.exception.type_error"},
        {"{\"auth_paths\":[[\"p\"]],\"id\":\"x\"}", {{}, "", "", "x", ""}, ""},  // not an object: ignored
        {"{\"total_guesser_reward\":12.5,\"id\":\"r\"}", {{}, "", "12.5", "r", ""}, ""},
        {"{\"total_guesser_reward\":-3,\"id\":\"r\"}", {{}, "", "-3", "r", ""}, ""},
        {"{\"total_guesser_reward\":true,\"id\":\"r\"}", {{}, "", "", "r", ""}, ""},
        {"{\"total_guesser_reward\":[1],\"id\":\"r\"}", {{}, "", "", "r", ""}, ""},
    };
    for (const Case& c : cases) {
        PowPuzzle parsed;
        const CapturedOutput o = capture_output([&] { parsed = parsePowPuzzle(c.text); });
        EXPECT_EQ(parsed, c.expected) << c.text;
        EXPECT_EQ(o.err.substr(0, c.error.size()), c.error) << c.text;
        EXPECT_EQ(o.err.empty(), c.error.empty()) << o.err;
    }
}

BridgeReply accept(const std::string& reply, CapturedOutput& o, const std::string& last_id = "")
{
    BridgeReply result;
    o = capture_output([&] { result = acceptBridgeReply(json::parse(reply), last_id); });
    return result;
}

TEST(FetcherReply, ANewIdIsAnnouncedAsCanonicalTextAndACheckedRecord)
{
    PowPuzzle puzzle = support::test_puzzle("abcdef0123456789XYZ", "pb", "[1,2,3,4,5]");
    json reply = json::parse(support::puzzle_reply(puzzle));
    reply["puzzle"]["total_guesser_reward"] = 12.5;
    reply["puzzle"]["extra"] = {{"ignored", true}};
    CapturedOutput o;
    BridgeReply r = accept(reply.dump(), o);
    EXPECT_EQ(r.outcome, ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(o.out + o.err, "🎯 Threshold: \"[1,2,3,4,5]\"\n\n🔄 New puzzle detected from bridge! ID: abcdef0123456789...\n");
    puzzle.total_guesser_reward = "12.5";
    EXPECT_EQ(r.canonical_text, canonical_puzzle_text(puzzle));
    EXPECT_EQ(r.puzzle_id, puzzle.id);
    EXPECT_EQ(r.puzzle.id, puzzle.id);
    EXPECT_EQ(r.puzzle.prev_block, "pb");
    EXPECT_EQ(r.puzzle.total_guesser_reward, "12.5");
    EXPECT_EQ(r.puzzle.threshold_text, "[1,2,3,4,5]");
    EXPECT_EQ(r.puzzle.threshold, (Digest{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(r.puzzle.mast_paths.header[1], hex_to_digest(puzzle.auth_paths.header[1]));
    EXPECT_EQ(r.puzzle.mast_paths.kernel[0], hex_to_digest(puzzle.auth_paths.kernel[0]));

    // The same id again: logged, nothing else, even though the threshold changed.
    reply["puzzle"]["threshold"] = json::array({9, 9, 9, 9, 9});
    EXPECT_EQ(accept(reply.dump(), o, puzzle.id).outcome, ReplyOutcome::SAME_PUZZLE);
    EXPECT_EQ(o.out + o.err, "🎯 Threshold: [9,9,9,9,9]\n");

    // Missing parts are empty texts and lists, other types their compact text; missing paths are zero.
    r = accept(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"bare","auth_paths":[["p"]],"prev_block":17}})", o);
    EXPECT_EQ(r.canonical_text, canonical_puzzle_text(PowPuzzle{{}, "", "", "bare", "17"}));
    EXPECT_EQ(r.puzzle.threshold, Digest{});
    EXPECT_EQ(r.puzzle.mast_paths.pow[2], Digest{});
    EXPECT_THROW(acceptBridgeReply(json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"x","auth_paths":{"pow":["a",1]}}})"), ""),
                 json::type_error);
}

TEST(FetcherReply, PuzzlesThatCannotBeMinedAreRefusedOnce)
{
    const Digest top{{field::P - 1, 0, 0, 0, field::P - 1}};
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {  // entry, text, reason
        {"header", "0x1f", ""}, {"header", "abc", ""}, {"pow", digest_to_hex_padded(top), ""},
        {"header", "", "auth path header[1] is empty"}, {"header", "0x", "auth path header[1] is empty"},
        {"header", std::string(82, '1'), "auth path header[1] has more than 80 hex digits"},
        {"pow", "12 34", "auth path pow[1] is not hexadecimal"}, {"kernel", "1g", "auth path kernel[0] is not hexadecimal"},
        {"pow", digest_to_hex_padded(Digest{{field::P, 0, 0, 0, 0}}), "auth path pow[1] holds element 0 >= p"},
        {"kernel", digest_to_hex_padded(Digest{{0, 0, 0, 0, ~0ull}}), "auth path kernel[0] holds element 4 >= p"},
        {"threshold", "ffzz", "threshold is not hexadecimal"}, {"threshold", std::string(81, 'f'), "threshold has more than 80 hex digits"},
        {"threshold", "", ""}, {"threshold", "[1,2]", ""}};
    for (const auto& [entry, text, reason] : cases) {
        PowPuzzle puzzle = support::test_puzzle("refused-0123456789", "b", support::easy_threshold());
        if (entry == "threshold") puzzle.threshold = text;
        else (entry == "pow" ? puzzle.auth_paths.pow : entry == "header" ? puzzle.auth_paths.header : puzzle.auth_paths.kernel)
                 [entry == "kernel" ? 0 : 1] = text;
        puzzle.auth_paths.kernel.push_back("not used");  // beyond the used entries
        CapturedOutput o;
        const BridgeReply r = accept(support::puzzle_reply(puzzle), o);
        EXPECT_EQ(r.outcome, reason.empty() ? ReplyOutcome::NEW_PUZZLE : ReplyOutcome::REFUSED) << text;
        EXPECT_EQ(r.puzzle_id, puzzle.id);  // remembered either way: a refusal is reported once
        EXPECT_EQ(o.err, reason.empty() ? "" : "Error: puzzle refused-01234567... refused: " + reason + "\n");
    }
}

TEST(FetcherReply, EmptyIdsErrorsAndOtherMessages)
{
    const std::vector<std::tuple<std::string, ReplyOutcome, std::string>> cases = {
        {R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":""}})", ReplyOutcome::EMPTY_ID, "Puzzle from bridge has empty ID\n"},
        {R"({"msg_type":"pow_puzzle_v1","puzzle":{"threshold":"t"}})", ReplyOutcome::EMPTY_ID, "Puzzle from bridge has empty ID\n"},
        {R"({"msg_type":"error","message":"No puzzle available"})", ReplyOutcome::NO_PUZZLE_AVAILABLE, ""},
        {R"({"msg_type":"error","message":"Sorry: No puzzle available yet"})", ReplyOutcome::NO_PUZZLE_AVAILABLE, ""},
        {R"({"msg_type":"error","message":"node is syncing"})", ReplyOutcome::BRIDGE_ERROR, "Bridge error: node is syncing\n"},
        {R"({"msg_type":"error"})", ReplyOutcome::BRIDGE_ERROR, "Bridge error: Unknown error\n"},
        {"{}", ReplyOutcome::IGNORED, ""}, {R"({"msg_type":"pow_puzzle_v1"})", ReplyOutcome::IGNORED, ""},
        {R"({"msg_type":"solution_accepted"})", ReplyOutcome::IGNORED, ""}, {"[1]", ReplyOutcome::IGNORED, ""}};
    for (const auto& [reply, outcome, lines] : cases) {
        CapturedOutput o;
        const BridgeReply r = accept(reply, o);
        EXPECT_EQ(r.outcome, outcome) << reply;
        EXPECT_EQ(o.out + o.err, lines) << reply;
        EXPECT_EQ(r.error, outcome == ReplyOutcome::BRIDGE_ERROR ? json::parse(reply).value("message", "Unknown error") : "");
    }
}

}  // namespace
