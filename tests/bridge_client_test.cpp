// The bridge connection: its framing and log lines over a real loopback connection, the pieces
// under it, and the solution line.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>

#include "bridge/client.h"
#include "bridge/json_depth.h"
#include "bridge/puzzle_message.h"
#include "bridge/socket_writer.h"
#include "bridge/solution_submission.h"
#include "bridge/text_prefix.h"
#include "support/captured_output.h"
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
    void SetUp() override
    {
        const CapturedOutput o = capture_output([&] { ASSERT_TRUE(client.connect()); });
        EXPECT_EQ(o.out + o.err, "✅ Connected to miner bridge at 127.0.0.1:" + std::to_string(bridge.port()) + "\n");
    }
    json ask(CapturedOutput& o, float timeout = 2.0f, bool request = true)
    {
        if (request) capture_output([&] { ASSERT_TRUE(client.send_message(puzzle_request_message())); });
        json reply;
        o = capture_output([&] { reply = client.receive_message(timeout); });
        return reply;
    }
    std::vector<std::string> replies;
    TestBridge bridge{[this](size_t n) { return n < replies.size() ? replies[n] : std::string(); }};
    CorvaneCudaMinerClient client{"127.0.0.1", bridge.port()};
};

TEST_F(BridgeClient, LinesGoOutWholeAndComeBackOneByOne)
{
    replies = {"{\"msg_type\":\"status\"}\n{\"n\":2}\n{\"n\":", "3}\n"};
    CapturedOutput o;
    EXPECT_EQ(ask(o), json({{"msg_type", "status"}}));
    EXPECT_EQ(bridge.wait_for_line("Request", 5s), "{\"RequestPuzzle\":null}");
    EXPECT_EQ(o.out, "📥 Raw response: {\"msg_type\":\"status\"}...\n📥 Message type: status\n");
    EXPECT_TRUE(client.has_buffered_line());
    EXPECT_EQ(ask(o, 0.2f, false), json({{"n", 2}}));  // already here: no wait, no timeout line
    EXPECT_FALSE(client.has_buffered_line());         // only the start of a third one
    EXPECT_EQ(ask(o), json({{"n", 3}}));
    EXPECT_EQ(o.err, "");
    o = capture_output([&] { client.disconnect(), client.disconnect(); });  // the second finds nothing to close
    EXPECT_EQ(o.out + o.err, "📡 Disconnected from miner bridge\n");
    o = capture_output([&] {
        EXPECT_EQ(client.receive_message(1.0f), json::object());
        EXPECT_FALSE(client.send_message(json()));
    });
    EXPECT_EQ(o.out + o.err, "❌ Not connected to bridge\n❌ Failed to send message\n");
}

TEST_F(BridgeClient, TimeoutsLogCutsAndTheEndOfTheStream)
{
    const std::string prefix = "{\"msg_type\":\"x\",\"pad\":\"";
    for (const size_t length : {100u, 101u}) replies.push_back(prefix + std::string(length - prefix.size() - 2, 'a') + "\"}\n");
    replies.push_back("");
    replies.push_back(std::string("{\"last\":true}\n{\"cut\":") + TestBridge::CLOSE);
    CapturedOutput o;
    for (int i = 0; i < 2; ++i) {
        const std::string line = replies[i].substr(0, replies[i].size() - 1);
        EXPECT_EQ(ask(o), json::parse(line));
        EXPECT_EQ(o.out, "📥 Raw response: " + line.substr(0, 100) + "...\n📥 Message type: x\n");
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(o, 0.2f), json::object());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(o.out + o.err, "⏰ Timeout or error receiving response\n");
    EXPECT_EQ(ask(o, -0.5f, false), json::object());
    EXPECT_EQ(o.out + o.err, "❌ Failed to set socket timeout\n");
    EXPECT_EQ(ask(o), json({{"last", true}}));  // what arrived before the close is kept
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ask(o, 2.0f, false), json::object());
        EXPECT_EQ(o.out + o.err, "❌ Connection closed by bridge\n");
    }
}

TEST_F(BridgeClient, LinesThatAreNotUsableObjectsComeBackEmpty)
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
    for (const auto& c : cases) replies.push_back(std::get<0>(c) + "\n");
    for (const auto& [line, lines, usable] : cases) {
        CapturedOutput o;
        EXPECT_EQ(ask(o), usable ? json::parse(line) : json::object()) << line;
        EXPECT_EQ(o.out, "📥 Raw response: " + line.substr(0, 100) + "...\n" + lines);
        EXPECT_EQ(o.err.rfind("❌ Failed to parse JSON response: ", 0), usable ? std::string::npos : 0u) << o.err;
        EXPECT_EQ(o.err.find('\n'), usable ? std::string::npos : o.err.size() - 1);  // one line at most
    }
}

TEST_F(BridgeClient, TwoWritersNeverInterleaveTheirLines)
{
    // Lines far larger than the small socket buffers: every write waits for the reader many times.
    const int small = 16384;
    ASSERT_EQ(::setsockopt(client.socket_descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    auto line_of = [](int who, int i) { return json{{"who", who}, {"i", i}, {"fill", std::string(150000, 'a' + who)}}; };
    std::atomic<int> failures{0};
    const CapturedOutput o = capture_output([&] {
        std::thread writers[2];
        for (int who : {0, 1})
            writers[who] = std::thread([&, who] {
                for (int i = 0; i < 20; ++i) failures += !client.send_message(line_of(who, i));
            });
        for (std::thread& w : writers) w.join();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(o.err, "");
    int next[2] = {0, 0};
    for (const std::string& line : bridge.wait_for_lines("\"who\"", 40, 20s)) {
        const json message = json::parse(line, nullptr, false);  // a torn line does not parse
        ASSERT_FALSE(message.is_discarded()) << line.substr(0, 80);
        const int who = message.at("who");
        EXPECT_EQ(message, line_of(who, next[who]++));
    }
    EXPECT_EQ(next[0] + next[1], 40);
}

TEST(SolutionSubmission, TheLineIsExactAndAFailedSendIsAResult)
{
    SubmissionResult r;
    CapturedOutput o = capture_output([&] { r = submitPowSolutionToBridge("id", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.request_json + r.message + o.out + o.err, "Corvane miner client not initialized");

    TestBridge bridge([](size_t) { return std::string(1, TestBridge::RESET); });
    g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>("127.0.0.1", bridge.port());
    capture_output([] { ASSERT_TRUE(g_corvane_miner_client->connect()); });
    o = capture_output([&] { r = submitPowSolutionToBridge("proposal-0123456789abcdef", "root", {"a0", "a1"}, {}, "n"); });
    const std::string line = "{\"SubmitSolution\":{\"pow\":{\"nonce\":\"n\",\"path_a\":[\"a0\",\"a1\"],\"path_b\":[],"
                             "\"root\":\"root\"},\"proposal_id\":\"proposal-0123456789abcdef\"}}";
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.message, "Submitted to miner bridge");
    EXPECT_EQ(r.request_json, line);
    EXPECT_EQ(bridge.wait_for_line("SubmitSolution", 5s), line);
    EXPECT_EQ(o.out + o.err, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: proposal-0123456...\n📤 Sent: " +
                                 line.substr(0, 100) + "...\n✅ Solution submitted to miner bridge successfully!\n");
    // The bridge resets the connection: every later send fails as a result, none raises SIGPIPE.
    capture_output([] {
        g_corvane_miner_client->send_message(puzzle_request_message());
        g_corvane_miner_client->receive_message(5.0f);  // the reset has arrived
    });
    for (int i = 0; i < 2; ++i) {
        o = capture_output([&] { r = submitPowSolutionToBridge("p1", "r", {"a"}, {"b"}, "n"); });
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.message, "Failed to send to miner bridge");
        EXPECT_EQ(o.out + o.err, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: p1...\n"
                                 "❌ Failed to send message\n❌ Failed to submit solution to miner bridge\n");
    }
    g_corvane_miner_client.reset();
}

TEST(SolutionTexts, EveryDigestInItsFullEightyCharacters)
{
    Pow pow;
    pow.root = Digest{{0x1200, 5, 6, 7, 8}};  // first byte 00: the short form would drop it
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) pow.path_a[i] = Digest{{i << 8, 0, 0, 0, 1}};
    const SolutionTexts t = solution_texts(pow);
    ASSERT_EQ(t.path_a.size() + t.path_b.size(), 2 * GUESSER_TREE_HEIGHT);
    EXPECT_EQ(t.root + t.nonce, digest_to_hex_padded(pow.root) + std::string(80, '0'));
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i)
        EXPECT_EQ(t.path_a[i] + t.path_b[i], digest_to_hex_padded(pow.path_a[i]) + std::string(80, '0'));
}

TEST(LineBuffer, SplitsLinesAcrossPiecesAndDropsOverLongOnes)
{
    LineBuffer buffer(8);
    using Lines = std::vector<std::string>;
    const std::vector<std::tuple<Lines, Lines, size_t>> cases = {  // pieces, lines, lines dropped
        {{"{\"a\":1}\n{\"", "b\":2}\n\n", std::string("a\0b\n", 4)}, {"{\"a\":1}", "{\"b\":2}", "", std::string("a\0b", 3)}, 0},
        {{"12345678\nok\n1234", "56789", "abcdefghijklmnop", "xyz\nnext\n"}, {"12345678", "ok", "next"}, 1},
        {{"123456789\nfine\n123456789012\nlast"}, {"fine"}, 2},
        {{"\n"}, {"last"}, 0}};
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
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), [](int, const void*, size_t, int) -> ssize_t { return errno = EPIPE, -1; }));
    EXPECT_FALSE(send_whole(7, line.data(), line.size(), [](int, const void*, size_t, int) -> ssize_t { return 0; }));

    for (const auto& [seconds, usec] : std::vector<std::pair<float, long>>{{10.0f, 10000000}, {2.5f, 2500000}, {0.1f, 100000}})
        EXPECT_EQ(receive_timeout_value(seconds).tv_sec * 1000000 + receive_timeout_value(seconds).tv_usec, usec);
    EXPECT_LT(receive_timeout_value(-0.5f).tv_usec, 0);  // refused by the socket, never undefined
    EXPECT_LT(receive_timeout_value(std::nanf("")).tv_usec, 0);
}

}  // namespace
