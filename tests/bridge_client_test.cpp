// The bridge side: the connection's framing and log lines over a real loopback connection, the
// pieces under it, the solution line, and the reading of replies into checked puzzles.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>

#include "bridge/bridge_reply.h"
#include "bridge/client.h"
#include "bridge/json_depth.h"
#include "bridge/puzzle_message.h"
#include "bridge/reconnect_backoff.h"
#include "bridge/reply_line.h"
#include "bridge/socket_writer.h"
#include "bridge/solution_submission.h"
#include "bridge/text_prefix.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using support::capture_output;
using support::CapturedOutput;
using support::TestBridge;

// A connected client; the n-th request is answered with replies[n], later ones with nothing.
class BridgeClient : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(client.connect().status, ConnectOutcome::Status::CONNECTED); }
    ReceivedLine ask(float timeout = 2.0f, bool request = true)
    {
        if (request) {
            EXPECT_TRUE(client.send_message(puzzle_request_message()));
        }
        return client.receive_message(timeout);
    }
    std::vector<std::string> replies;
    TestBridge bridge{[this](size_t n) { return n < replies.size() ? replies[n] : std::string(); }};
    CorvaneCudaMinerClient client{"127.0.0.1", bridge.port()};
};

using Status = ReceivedLine::Status;

TEST_F(BridgeClient, LinesGoOutWholeAndComeBackOneByOne)
{
    replies = {"{\"msg_type\":\"status\"}\n{\"n\":2}\n{\"n\":", "3}\n"};
    EXPECT_EQ(ask().line, "{\"msg_type\":\"status\"}");
    EXPECT_EQ(bridge.wait_for_line("Request", 5s), "{\"RequestPuzzle\":null}");
    EXPECT_TRUE(client.has_buffered_line());
    EXPECT_EQ(ask(0.2f, false).line, "{\"n\":2}");  // already here: no wait
    EXPECT_FALSE(client.has_buffered_line());        // only the start of a third one
    const ReceivedLine third = ask();
    EXPECT_EQ(third.status, Status::LINE);
    EXPECT_EQ(third.line, "{\"n\":3}");
    EXPECT_TRUE(client.disconnect());
    EXPECT_FALSE(client.disconnect());  // nothing left to close
    EXPECT_EQ(client.receive_message(1.0f).status, Status::NOT_CONNECTED);
    EXPECT_FALSE(client.send_message(json()));
    EXPECT_EQ(client.failure(), LinkFailure::NONE);  // closed on purpose: no failure
}

TEST_F(BridgeClient, TimeoutsTheEndOfTheStreamAndAReconnect)
{
    replies = {"", std::string("{\"last\":true}\n{\"cut\":") + TestBridge::CLOSE, "{\"again\":1}\n"};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(0.2f).status, Status::TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(ask(-0.5f, false).status, Status::BAD_TIMEOUT);
    EXPECT_TRUE(client.connected());  // neither is a failure of the connection
    EXPECT_EQ(ask().line, "{\"last\":true}");  // what arrived before the close is kept
    for (int i = 0; i < 2; ++i) EXPECT_EQ(ask(2.0f, false).status, Status::CLOSED);
    EXPECT_FALSE(client.send_message(puzzle_request_message()));  // a line for a closed bridge is not written
    EXPECT_EQ(client.failure(), LinkFailure::CLOSED);
    EXPECT_FALSE(client.connected());
    ASSERT_EQ(client.connect().status, ConnectOutcome::Status::CONNECTED);  // the bridge takes the next one
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(ask().line, "{\"again\":1}");
    EXPECT_EQ(bridge.wait_for_lines("Request", 3, 5s).size(), 3u);  // the refused line never left

    CorvaneCudaMinerClient named("localhost", bridge.port()), nobody("127.0.0.1", support::closed_port());
    EXPECT_EQ(named.connect().status, ConnectOutcome::Status::BAD_ADDRESS);
    const ConnectOutcome refused = nobody.connect();
    EXPECT_EQ(refused.status, ConnectOutcome::Status::FAILED);
    EXPECT_EQ(refused.error, ECONNREFUSED);
    EXPECT_EQ(CorvaneCudaMinerClient("127.0.0.1", bridge.port()).receive_message(1.0f).status, Status::NOT_CONNECTED);
}

TEST_F(BridgeClient, TwoWritersNeverInterleaveTheirLinesNorMeetAReconnect)
{
    // Lines far larger than the small socket buffers: every write waits for the reader many times,
    // while the connection is replaced under the writers twice.
    const int small = 16384;
    ASSERT_EQ(::setsockopt(client.socket_descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    auto line_of = [](int who, int i) {
        return json{{"who", who}, {"i", i}, {"fill", std::string(150000, 'a' + who)}};
    };
    std::atomic<int> failures{0};
    std::thread writers[2];
    for (int who : {0, 1})
        writers[who] = std::thread([&, who] {
            for (int i = 0; i < 20; ++i) failures += !client.send_message(line_of(who, i));
        });
    for (int i = 0; i < 2; ++i) {
        bridge.wait_for_lines("\"who\"", 10 * (i + 1), 20s);
        EXPECT_EQ(client.connect().status, ConnectOutcome::Status::CONNECTED);
    }
    for (std::thread& w : writers) w.join();
    EXPECT_EQ(failures, 0);
    int next[2] = {0, 0};
    for (const std::string& line : bridge.wait_for_lines("\"who\"", 40, 20s)) {
        const json message = json::parse(line, nullptr, false);  // a torn line does not parse
        ASSERT_FALSE(message.is_discarded()) << line.substr(0, 80);
        const int who = message.at("who");
        EXPECT_EQ(message, line_of(who, next[who]++));
    }
    EXPECT_EQ(next[0] + next[1], 40);
}

TEST(ReplyLine, LinesThatAreNotUsableObjectsComeBackEmpty)
{
    const std::string puzzle_type = "📥 Message type: pow_puzzle_v1\n", id(40, 'f');
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {  // line, lines after the raw one, usable
        {"[1,2,3]", "", false}, {"{\"msg_type\":\"x\"} trailing", "", false}, {"{\"msg_type\":5}", "", false},
        {"{\"msg_type\":\"pow_puzzle_v1\"}", puzzle_type, false},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":7}}", puzzle_type, false},
        {std::string(200, '[') + std::string(200, ']'), "", false}, {std::string("{\"a\"\0:1}", 8), "", false},
        {"{\"hello\":[1]}", "📥 Message type: unknown\n", true},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{}}", puzzle_type + "🎯 Received puzzle with ID: NO_ID...\n", true},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":\"" + id + "\"}}",
         puzzle_type + "🎯 Received puzzle with ID: " + id.substr(0, 32) + "...\n", true},
        {"{\"msg_type\":\"error\"}", "📥 Message type: error\n❌ Bridge error: Unknown error\n", true}};
    for (const auto& [line, lines, usable] : cases)
        for (const bool echo : {true, false}) {
            json reply;
            const CapturedOutput o = capture_output([&, line = line] { reply = parse_reply_line(line, echo); });
            EXPECT_EQ(reply, usable ? json::parse(line) : json::object()) << line;
            EXPECT_EQ(o.out, echo ? "📥 Raw response: " + line.substr(0, 100) + "...\n" + lines : "");
            EXPECT_EQ(o.err.rfind("❌ Failed to parse JSON response: ", 0), usable ? std::string::npos : 0u) << o.err;
            EXPECT_EQ(o.err.find('\n'), usable ? std::string::npos : o.err.size() - 1);  // one line at most
        }
}

TEST(ReconnectBackoff, DoublesUpToTheCapLessJitterAndStartsOverAfterAConnect)
{
    ReconnectBackoff exact({1000ms, 30000ms, 0.0}), jittered({1000ms, 30000ms, 0.25}, 7);
    int shortened = 0;
    for (const long long wait : {1000, 2000, 4000, 8000, 16000, 30000, 30000}) {
        EXPECT_EQ(exact.next_wait().count(), wait);
        const long long cut = jittered.next_wait().count();
        EXPECT_TRUE(cut >= wait * 3 / 4 && cut <= wait) << cut;
        shortened += cut < wait;
    }
    EXPECT_GE(shortened, 5);  // spread, not one fixed factor
    EXPECT_EQ(exact.failures(), 7);
    exact.reset();
    EXPECT_EQ(exact.next_wait(), 1000ms);
    EXPECT_EQ(exact.failures(), 1);
}

TEST(SolutionSubmission, TheLineIsExactAndAFailedSendIsAResult)
{
    SubmissionResult r;
    CapturedOutput o = capture_output([&] { r = submitPowSolutionToBridge(nullptr, "id", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.request_json + r.message + o.out + o.err, "Corvane miner client not initialized");

    TestBridge bridge([](size_t) { return std::string(1, TestBridge::RESET); });
    auto client = std::make_unique<CorvaneCudaMinerClient>("127.0.0.1", bridge.port());
    ASSERT_EQ(client->connect().status, ConnectOutcome::Status::CONNECTED);
    o = capture_output([&] {
        r = submitPowSolutionToBridge(client.get(), "proposal-0123456789abcdef", "root", {"a0", "a1"}, {}, "n");
    });
    const std::string line = "{\"SubmitSolution\":{\"pow\":{\"nonce\":\"n\",\"path_a\":[\"a0\",\"a1\"],\"path_b\":[],"
                             "\"root\":\"root\"},\"proposal_id\":\"proposal-0123456789abcdef\"}}";
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.message, "Submitted to miner bridge");
    EXPECT_EQ(r.request_json, line);
    EXPECT_EQ(bridge.wait_for_line("SubmitSolution", 5s), line);
    EXPECT_EQ(o.out + o.err,
              "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: proposal-0123456...\n📤 Sent: " +
                  line.substr(0, 100) + "...\n✅ Solution sent to miner bridge\n");
    // The bridge resets the connection: a later send fails as a result and raises no SIGPIPE.
    EXPECT_TRUE(client->send_message(puzzle_request_message()));
    EXPECT_EQ(client->receive_message(5.0f).status, ReceivedLine::Status::FAILED);  // the reset
    EXPECT_EQ(client->failure(), LinkFailure::RECEIVE);
    o = capture_output([&] { r = submitPowSolutionToBridge(client.get(), "p1", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, "Failed to send to miner bridge");
    EXPECT_EQ(o.out + o.err, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: p1...\n"
                             "❌ Failed to submit solution to miner bridge\n");
}

TEST(LineBuffer, SplitsLinesAcrossPiecesAndDropsOverLongOnes)
{
    LineBuffer buffer(8);
    using Lines = std::vector<std::string>;
    const std::vector<std::tuple<Lines, Lines, size_t>> cases = {
        // pieces, lines, lines dropped
        {{"{\"a\":1}\n{\"", "b\":2}\n\n", std::string("a\0b\n", 4)},  // NUL is data
         {"{\"a\":1}", "{\"b\":2}", "", std::string("a\0b", 3)}, 0},
        {{"12345678\nok\n1234", "56789", "abcdefghijklmnop", "xyz\nnext\n"}, {"12345678", "ok", "next"}, 1},
        {{"123456789\nfine\n123456789012\nlast"}, {"fine"}, 2},
        {{"\n123", "456", "789\nok\n"}, {"last", "ok"}, 1}};  // too long only counted over three pieces
    for (const auto& [pieces, lines, dropped] : cases) {
        Lines taken;
        size_t drops = 0;
        for (const std::string& piece : pieces) {
            drops += buffer.append(piece.data(), piece.size());
            for (std::string line; buffer.take_line(line);) taken.push_back(line);
            EXPECT_LE(buffer.buffered_bytes(), 8u);  // memory bounded by the limit
        }
        EXPECT_EQ(taken, lines);
        EXPECT_EQ(drops, dropped);
    }
    EXPECT_EQ(LineBuffer().max_line_bytes(), 1048576u);
}

TEST(Framing, LogCutsTheNestingGuardWholeWritesAndTheTimeoutValue)
{
    EXPECT_EQ(text_prefix("abcdef", 3) + text_prefix("ab", 16) + text_prefix("abc", 0), "abcab");
    EXPECT_EQ(text_prefix("\xC3\xA9" "a" "\xF0\x9F\x8E\xAF" "b", 3), "\xC3\xA9" "a" "\xF0\x9F\x8E\xAF");  // characters
    EXPECT_FALSE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 4));
    EXPECT_TRUE(json_nesting_exceeds("{\"a\":[1,{\"b\":[]}]}", 3));
    EXPECT_FALSE(json_nesting_exceeds("[\"\\\"[[[[\"][][]", 1));  // in a string, escaped quote included
    EXPECT_TRUE(json_nesting_exceeds(std::string(129, '[')));

    static std::string written;  // a socket that takes at most three bytes per call and is interrupted once
    static int calls = 0;
    const std::string line = "{\"RequestPuzzle\":null}\n";
    EXPECT_TRUE(send_whole(7, line.data(), line.size(), [](int, const void* data, size_t size, int flags) -> ssize_t {
        EXPECT_EQ(flags, MSG_NOSIGNAL);  // a peer that has gone is an error result, not SIGPIPE
        if (++calls == 2) return errno = EINTR, -1;
        written.append(static_cast<const char*>(data), std::min<size_t>(size, 3));
        return static_cast<ssize_t>(std::min<size_t>(size, 3));
    }));
    EXPECT_EQ(written, line);
    EXPECT_FALSE(send_whole(7, line.data(), line.size(),
                            [](int, const void *, size_t, int) -> ssize_t { return errno = EPIPE, -1; }));
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), [](int, const void*, size_t, int) -> ssize_t { return 0; }));

    EXPECT_EQ(receive_timeout_value(2.5f).tv_sec * 1000000 + receive_timeout_value(2.5f).tv_usec, 2500000);
    EXPECT_LT(receive_timeout_value(-0.5f).tv_usec, 0);  // refused by the socket, never undefined
    EXPECT_LT(receive_timeout_value(std::nanf("")).tv_usec, 0);
}

TEST(PuzzleMessage, CanonicalTextHasEveryMemberInKeyOrderAndParsesBack)
{
    EXPECT_EQ(puzzle_request_message().dump(), "{\"RequestPuzzle\":null}");
    const PowPuzzle puzzle{
        {{"p0", "p1", "p2"}, {"h0", "h1"}, {"k0"}}, "[1,2,3,4,5]", "12.5", "puzzle-\xC3\xA9", "ab01"};
    const std::string text = canonical_puzzle_text(puzzle);
    EXPECT_EQ(text, "{\"auth_paths\":{\"header\":[\"h0\",\"h1\"],\"kernel\":[\"k0\"],\"pow\":[\"p0\",\"p1\",\"p2\"]},"
                    "\"id\":\"puzzle-\xC3\xA9\",\"prev_block\":\"ab01\",\"threshold\":\"[1,2,3,4,5]\","
                    "\"total_guesser_reward\":\"12.5\"}");
    EXPECT_EQ(parsePowPuzzle(text), puzzle);
}

BridgeReply accept(const json& reply, std::string& output, const std::string& last_id = "", bool echo = true)
{
    BridgeReply result;
    const support::CapturedOutput o =
        support::capture_output([&] { result = acceptBridgeReply(reply, last_id, echo); });
    output = o.out + o.err;
    return result;
}

TEST(FetcherReply, ANewIdIsAnnouncedAsCanonicalTextAndACheckedRecord)
{
    PowPuzzle puzzle = support::test_puzzle("abcdef0123456789XYZ", "pb", "[1,2,3,4,5]");
    json reply = json::parse(support::puzzle_reply(puzzle));
    reply["puzzle"]["total_guesser_reward"] = 12.5;  // any JSON value travels as its compact text
    std::string out;
    BridgeReply r = accept(reply, out);
    EXPECT_EQ(r.outcome, ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(out, "🎯 Threshold: \"[1,2,3,4,5]\"\n\n🔄 New puzzle detected from bridge! ID: abcdef0123456789...\n");
    puzzle.total_guesser_reward = "12.5";
    EXPECT_EQ(r.canonical_text, canonical_puzzle_text(puzzle));
    EXPECT_EQ(r.puzzle_id + " " + r.puzzle.id + " " + r.puzzle.prev_block + " " + r.puzzle.total_guesser_reward,
              puzzle.id + " " + puzzle.id + " pb 12.5");
    EXPECT_EQ(r.puzzle.threshold, (Digest{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(r.puzzle.threshold_text, "[1,2,3,4,5]");
    EXPECT_EQ(r.puzzle.mast_paths.commit(), convertToPowMastPaths(puzzle.auth_paths).commit());

    reply["puzzle"]["threshold"] = json::array({9, 9, 9, 9, 9});  // the same id again: logged, nothing else
    EXPECT_EQ(accept(reply, out, puzzle.id).outcome, ReplyOutcome::SAME_PUZZLE);
    EXPECT_EQ(out, "🎯 Threshold: [9,9,9,9,9]\n");
    EXPECT_EQ(accept(reply, out, puzzle.id, false).puzzle_id, puzzle.id);  // the bridge's current puzzle
    EXPECT_EQ(out, "");  // a repeated reply is quiet
    EXPECT_EQ(accept(reply, out, "", false).outcome, ReplyOutcome::NEW_PUZZLE);
    EXPECT_EQ(out, "\n🔄 New puzzle detected from bridge! ID: abcdef0123456789...\n");  // news is never quiet
    reply["puzzle"]["auth_paths"]["pow"][1] = 1;  // the fetcher's cycle reports it
    EXPECT_THROW(acceptBridgeReply(reply, ""), json::type_error);
}

TEST(FetcherReply, RepliesThatCannotBeMinedOrHoldNoPuzzle)
{
    auto with = [](const std::string& entry, const std::string& text) {
        PowPuzzle p = support::test_puzzle("refused-0123456789", "b", support::easy_threshold());
        (entry == "threshold" ? p.threshold : entry == "pow" ? p.auth_paths.pow[1] : p.auth_paths.kernel[0]) = text;
        p.auth_paths.header.push_back("not used");  // beyond the used entries
        return support::puzzle_reply(p);
    };
    auto edited = [&](const std::function<void(json&)>& edit) {
        json reply = json::parse(with("pow", "1"));
        edit(reply["puzzle"]);
        return reply.dump();
    };
    const std::string refused = "Error: puzzle refused-01234567... refused: ";
    const std::string top = digest_to_hex_padded(Digest{{field::P - 1, 0, 0, 0, field::P - 1}});
    using O = ReplyOutcome;
    const std::vector<std::tuple<std::string, O, std::string>> cases = {
        // reply, outcome, error stream
        {with("pow", "0x1f"), O::NEW_PUZZLE, ""},
        {with("pow", top), O::NEW_PUZZLE, ""},
        {with("threshold", "[1,2]"), O::NEW_PUZZLE, ""},
        {with("pow", "0x"), O::REFUSED, refused + "auth path pow[1] is empty\n"},
        {with("pow", std::string(82, '1')), O::REFUSED, refused + "auth path pow[1] has more than 80 hex digits\n"},
        {with("kernel", "1g"), O::REFUSED, refused + "auth path kernel[0] is not hexadecimal\n"},
        {with("kernel", digest_to_hex_padded(Digest{{0, 0, 0, 0, field::P}})), O::REFUSED,
         refused + "auth path kernel[0] holds element 4 >= p\n"},
        {with("threshold", "ffzz"), O::REFUSED, refused + "threshold is not hexadecimal\n"},
        {with("threshold", ""), O::REFUSED, refused + "threshold is missing\n"},  // the zero digest: never met
        {edited([](json& p) { p.erase("threshold"); }), O::REFUSED, refused + "threshold is missing\n"},
        {edited([](json& p) { p["threshold"] = 1; }), O::REFUSED, refused + "threshold is not text: 1\n"},
        {edited([](json& p) { p.erase("auth_paths"); }), O::REFUSED, refused + "auth_paths is missing\n"},
        {edited([](json& p) { p["auth_paths"] = json::array(); }), O::REFUSED,
         refused + "auth_paths is not an object\n"},
        {edited([](json& p) { p["auth_paths"]["pow"].erase(2); }), O::REFUSED,
         refused + "auth path pow has 2 of 3 entries\n"},
        {edited([](json& p) { p["auth_paths"]["header"] = {"1"}; }), O::REFUSED,
         refused + "auth path header has 1 of 2 entries\n"},
        {edited([](json& p) { p["auth_paths"].erase("kernel"); }), O::REFUSED,
         refused + "auth path kernel has 0 of 1 entries\n"},
        {R"({"msg_type":"pow_puzzle_v1","puzzle":{"threshold":"t"}})", O::EMPTY_ID, ""},
        {R"({"msg_type":"error","message":"Sorry: No puzzle available yet"})", O::NO_PUZZLE_AVAILABLE, ""},
        {R"({"msg_type":"error","message":"node is syncing"})", O::BRIDGE_ERROR, "Bridge error: node is syncing\n"},
        {R"({"msg_type":"error"})", O::BRIDGE_ERROR, "Bridge error: Unknown error\n"},
        {"{}", O::IGNORED, ""},
        {R"({"msg_type":"pow_puzzle_v1"})", O::IGNORED, ""},
        {R"({"msg_type":"ack"})", O::IGNORED, ""}};
    for (const auto& [text, outcome, err] : cases) {
        std::string out;
        const json reply = json::parse(text);
        const BridgeReply r = accept(reply, out);
        EXPECT_EQ(r.outcome, outcome) << text;
        EXPECT_EQ(r.puzzle_id,
                  outcome == O::NEW_PUZZLE || outcome == O::REFUSED ? "refused-0123456789" : "");  // remembered
        EXPECT_EQ(out.substr(out.size() - err.size()), err);
        EXPECT_EQ(out.empty(), outcome == O::NO_PUZZLE_AVAILABLE || outcome == O::IGNORED) << out;
        EXPECT_EQ(out == "Puzzle from bridge has empty ID\n", outcome == O::EMPTY_ID);
        EXPECT_EQ(r.error, outcome == O::BRIDGE_ERROR ? reply.value("message", "Unknown error") : "");
    }
}

}  // namespace
