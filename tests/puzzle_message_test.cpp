// The puzzle request, the canonical puzzle text and its parser, and the fetcher's handling of
// replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/bridge_reply.h"
#include "bridge/puzzle_message.h"
#include "support/captured_output.h"

namespace {

using support::capture_output;
using support::CapturedOutput;
using nlohmann::json;

PowPuzzle samplePuzzle()
{
    PowPuzzle puzzle;
    puzzle.id = "puzzle-0123456789abcdef";
    puzzle.threshold = "[1,2,3,4,5]";
    puzzle.total_guesser_reward = "12.5";
    puzzle.prev_block = "ab01";
    puzzle.auth_paths.pow = {"p0", "p1", "p2"};
    puzzle.auth_paths.header = {"h0", "h1"};
    puzzle.auth_paths.kernel = {"k0"};
    return puzzle;
}

std::vector<MiningEvent> drain(EventHandler& events)
{
    std::vector<MiningEvent> taken;
    MiningEvent event;
    while (events.waitForEvent(event, std::chrono::milliseconds(0))) taken.push_back(event);
    return taken;
}

TEST(PuzzleMessage, RequestIsTheOneMemberObject)
{
    EXPECT_EQ(puzzle_request_message().dump(), "{\"RequestPuzzle\":null}");
}

TEST(PuzzleMessage, CanonicalTextHasEveryMemberInKeyOrderAndParsesBack)
{
    const PowPuzzle puzzle = samplePuzzle();
    const std::string text = canonical_puzzle_text(puzzle);
    EXPECT_EQ(text,
              "{\"auth_paths\":{\"header\":[\"h0\",\"h1\"],\"kernel\":[\"k0\"],\"pow\":[\"p0\",\"p1\",\"p2\"]},"
              "\"id\":\"puzzle-0123456789abcdef\",\"prev_block\":\"ab01\",\"threshold\":\"[1,2,3,4,5]\","
              "\"total_guesser_reward\":\"12.5\"}");
    CapturedOutput o = capture_output([&] { EXPECT_EQ(parsePowPuzzle(text), puzzle); });
    EXPECT_EQ(o.out + o.err, "");

    PowPuzzle sparse;
    sparse.id = "only-an-id-\xC3\xA9";  // non-ASCII text stays raw UTF-8
    const std::string sparse_text = canonical_puzzle_text(sparse);
    EXPECT_EQ(sparse_text,
              "{\"auth_paths\":{\"header\":[],\"kernel\":[],\"pow\":[]},\"id\":\"only-an-id-\xC3\xA9\","
              "\"prev_block\":\"\",\"threshold\":\"\",\"total_guesser_reward\":\"\"}");
    EXPECT_EQ(parsePowPuzzle(sparse_text), sparse);
}

TEST(PuzzleMessage, ParserReportsLibraryErrorsAndKeepsWhatItFilled)
{
    PowPuzzle puzzle = samplePuzzle();
    CapturedOutput o = capture_output([&] { puzzle = parsePowPuzzle("[1,2]"); });
    EXPECT_EQ(puzzle, PowPuzzle{});
    EXPECT_EQ(o.out + o.err, "");  // not an object: silently empty

    o = capture_output([&] { puzzle = parsePowPuzzle("{\"id\":"); });
    EXPECT_EQ(puzzle, PowPuzzle{});
    EXPECT_EQ(o.err.rfind("JSON parsing error: [json.exception.parse_error", 0), 0u) << o.err;

    // Keys are read in a fixed order: paths, threshold, reward, id, prev_block.
    o = capture_output([&] {
        puzzle = parsePowPuzzle("{\"auth_paths\":{\"kernel\":[\"k\"],\"pow\":[\"p\"]},\"threshold\":5,\"id\":\"x\"}");
    });
    EXPECT_EQ(puzzle.auth_paths.pow, std::vector<std::string>{"p"});
    EXPECT_EQ(puzzle.auth_paths.kernel, std::vector<std::string>{"k"});
    EXPECT_EQ(puzzle.threshold, "");
    EXPECT_EQ(puzzle.id, "");
    EXPECT_EQ(o.err.rfind("JSON parsing error: [json.exception.type_error.302]", 0), 0u) << o.err;

    o = capture_output([&] { puzzle = parsePowPuzzle("{\"auth_paths\":{\"pow\":[\"a\",7,\"c\"]},\"id\":\"x\"}"); });
    EXPECT_EQ(puzzle.auth_paths.pow, std::vector<std::string>{"a"});
    EXPECT_EQ(puzzle.id, "");
    EXPECT_NE(o.err.find("type_error"), std::string::npos);

    // A list that is not an array is a type error too, not a one-element list.
    o = capture_output([&] { puzzle = parsePowPuzzle("{\"auth_paths\":{\"pow\":\"p\"},\"id\":\"x\"}"); });
    EXPECT_TRUE(puzzle.auth_paths.pow.empty());
    EXPECT_NE(o.err.find("type_error"), std::string::npos);

    // An "auth_paths" that is not an object is ignored.
    o = capture_output([&] { puzzle = parsePowPuzzle("{\"auth_paths\":[[\"p\"]],\"id\":\"x\"}"); });
    EXPECT_EQ(puzzle.id, "x");
    EXPECT_EQ(o.err, "");
}

TEST(PuzzleMessage, RewardTakesTextAndNumbersOnly)
{
    const auto reward = [](const std::string& value) {
        return parsePowPuzzle("{\"total_guesser_reward\":" + value + ",\"id\":\"r\"}").total_guesser_reward;
    };
    EXPECT_EQ(reward("\"7 coins\""), "7 coins");
    EXPECT_EQ(reward("12.5"), "12.5");
    EXPECT_EQ(reward("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(reward("-3"), "-3");
    EXPECT_EQ(reward("true"), "");
    EXPECT_EQ(reward("[1]"), "");
    EXPECT_EQ(reward("null"), "");
}

class FetcherReply : public testing::Test {
protected:
    ReplyOutcome accept(const json& reply, CapturedOutput& o)
    {
        ReplyOutcome outcome = ReplyOutcome::IGNORED;
        o = capture_output([&] { outcome = acceptBridgeReply(reply, events, last_id); });
        return outcome;
    }

    EventHandler events;
    std::string last_id;
};

TEST_F(FetcherReply, NewIdIsAnnouncedOnceAsCanonicalText)
{
    const json reply = json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{
        "id":"abcdef0123456789XYZ","threshold":[1,2,3,4,5],"total_guesser_reward":12.5,
        "prev_block":"pb","auth_paths":{"pow":["p0","p1","p2"],"header":["h0","h1"],"kernel":["k0"],"other":[1]},
        "extra":{"ignored":true}}})");
    CapturedOutput o;
    EXPECT_EQ(accept(reply, o), ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(o.out, "🎯 Threshold: [1,2,3,4,5]\n\n🔄 New puzzle detected from bridge! ID: abcdef0123456789...\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(last_id, "abcdef0123456789XYZ");

    std::vector<MiningEvent> posted = drain(events);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, EventType::NEW_PUZZLE);
    EXPECT_EQ(posted[0].puzzle_id, "abcdef0123456789XYZ");
    PowPuzzle expected;
    expected.id = "abcdef0123456789XYZ";
    expected.threshold = "[1,2,3,4,5]";
    expected.total_guesser_reward = "12.5";
    expected.prev_block = "pb";
    expected.auth_paths = {{"p0", "p1", "p2"}, {"h0", "h1"}, {"k0"}};
    EXPECT_EQ(posted[0].data, canonical_puzzle_text(expected));
    EXPECT_EQ(parsePowPuzzle(posted[0].data), expected);

    // The same id again: logged, nothing posted, even though the threshold changed.
    json again = reply;
    again["puzzle"]["threshold"] = "ffff";
    EXPECT_EQ(accept(again, o), ReplyOutcome::SAME_PUZZLE);
    EXPECT_EQ(o.out, "🎯 Threshold: \"ffff\"\n");
    EXPECT_TRUE(drain(events).empty());
}

TEST_F(FetcherReply, MissingPartsBecomeEmptyTextsAndLists)
{
    CapturedOutput o;
    EXPECT_EQ(accept(json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"bare"}})"), o),
              ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(o.out, "\n🔄 New puzzle detected from bridge! ID: bare...\n");
    std::vector<MiningEvent> posted = drain(events);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].data,
              "{\"auth_paths\":{\"header\":[],\"kernel\":[],\"pow\":[]},\"id\":\"bare\",\"prev_block\":\"\","
              "\"threshold\":\"\",\"total_guesser_reward\":\"\"}");

    // An "auth_paths" array is ignored; a prev_block given as a number travels as its text.
    EXPECT_EQ(accept(json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"arr","auth_paths":[["p"]],"prev_block":17}})"), o),
              ReplyOutcome::NEW_PUZZLE);
    posted = drain(events);
    ASSERT_EQ(posted.size(), 1u);
    const PowPuzzle parsed = parsePowPuzzle(posted[0].data);
    EXPECT_EQ(parsed.auth_paths, PowPuzzle::AuthPaths{});
    EXPECT_EQ(parsed.prev_block, "17");
}

TEST_F(FetcherReply, EmptyIdErrorsAndOtherMessages)
{
    CapturedOutput o;
    for (const char* reply : {R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":""}})",
                              R"({"msg_type":"pow_puzzle_v1","puzzle":{"threshold":"t"}})"}) {
        EXPECT_EQ(accept(json::parse(reply), o), ReplyOutcome::EMPTY_ID);
        EXPECT_EQ(o.out, "Puzzle from bridge has empty ID\n");
    }
    for (const char* reply : {R"({"msg_type":"error","message":"No puzzle available"})",
                              R"({"msg_type":"error","message":"Sorry: No puzzle available yet, retry"})"}) {
        EXPECT_EQ(accept(json::parse(reply), o), ReplyOutcome::NO_PUZZLE_AVAILABLE);
        EXPECT_EQ(o.out + o.err, "");
    }
    EXPECT_EQ(accept(json::parse(R"({"msg_type":"error","message":"node is syncing"})"), o), ReplyOutcome::BRIDGE_ERROR);
    EXPECT_EQ(o.err, "Bridge error: node is syncing\n");
    EXPECT_EQ(accept(json::parse(R"({"msg_type":"error"})"), o), ReplyOutcome::BRIDGE_ERROR);
    EXPECT_EQ(o.err, "Bridge error: Unknown error\n");
    std::vector<MiningEvent> posted = drain(events);
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].type, EventType::ERROR);
    EXPECT_EQ(posted[0].puzzle_id, "");
    EXPECT_EQ(posted[0].data, "node is syncing");
    EXPECT_EQ(posted[1].data, "Unknown error");

    // Empty replies, other types, a puzzle reply without "puzzle", the bridge's answer to a solution.
    for (const char* reply : {"{}", R"({"msg_type":"pow_puzzle_v1"})", R"({"msg_type":"solution_accepted"})",
                              R"({"hello":1})", "[1]", "null"}) {
        EXPECT_EQ(accept(json::parse(reply), o), ReplyOutcome::IGNORED) << reply;
        EXPECT_EQ(o.out + o.err, "");
    }
    EXPECT_TRUE(drain(events).empty());
    EXPECT_EQ(last_id, "");
}

TEST_F(FetcherReply, PathElementThatIsNotTextIsTheCyclesError)
{
    const json reply = json::parse(R"({"msg_type":"pow_puzzle_v1","puzzle":{"id":"x","auth_paths":{"pow":["a",1]}}})");
    EXPECT_THROW(acceptBridgeReply(reply, events, last_id), json::type_error);
    EXPECT_TRUE(drain(events).empty());
    EXPECT_EQ(last_id, "");
}

}  // namespace
