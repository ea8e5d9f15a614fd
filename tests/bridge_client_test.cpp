// The bridge client over a real loopback connection to the test bridge.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "support/captured_output.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using support::capture_output;
using support::CapturedOutput;

TEST(BridgeConnection, ConnectsOnceAndReportsEveryFailure)
{
    support::TestBridge bridge;
    CorvaneCudaMinerClient client("127.0.0.1", bridge.port());
    EXPECT_EQ(client.socket_descriptor(), -1);  // construction opens nothing
    CapturedOutput o = capture_output([&] { EXPECT_TRUE(client.connect()); });
    EXPECT_EQ(o.out + o.err, "✅ Connected to miner bridge at 127.0.0.1:" + std::to_string(bridge.port()) + "\n");
    const auto peer = bridge.accept();
    ASSERT_TRUE(peer);
    o = capture_output([&] { client.disconnect(), client.disconnect(); });  // the second finds nothing
    EXPECT_EQ(o.out + o.err, "📡 Disconnected from miner bridge\n");
    EXPECT_EQ(peer->read_line(), std::nullopt);  // the end of the stream

    const int refused = support::closed_port();
    for (const auto& [host, line] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", "❌ Failed to connect to bridge at 127.0.0.1:" + std::to_string(refused)},
             {"localhost", "❌ Invalid address: localhost"}, {"256.0.0.1", "❌ Invalid address: 256.0.0.1"}}) {
        CorvaneCudaMinerClient failing(host, refused);
        o = capture_output([&] { EXPECT_FALSE(failing.connect()); });
        EXPECT_EQ(o.out + o.err, line + "\n");
    }
    CorvaneCudaMinerClient idle("127.0.0.1", refused);
    o = capture_output([&] {
        EXPECT_EQ(idle.receive_message(1.0f), json::object());
        EXPECT_FALSE(idle.send_message(puzzle_request_message()));
    });
    EXPECT_EQ(o.out + o.err, "❌ Not connected to bridge\n❌ Failed to send message\n");
}

class BridgeClient : public testing::Test {
protected:
    void SetUp() override
    {
        capture_output([&] { ASSERT_TRUE(client.connect()); });
        ASSERT_TRUE(peer = bridge.accept());
    }
    json receive(CapturedOutput& o, float timeout = 2.0f)
    {
        json reply;
        o = capture_output([&] { reply = client.receive_message(timeout); });
        return reply;
    }
    support::TestBridge bridge;
    CorvaneCudaMinerClient client{"127.0.0.1", bridge.port()};
    std::unique_ptr<support::Peer> peer;
};

TEST_F(BridgeClient, AssemblesLinesAcrossReadsAndKeepsWhatFollows)
{
    const CapturedOutput sent = capture_output([&] { EXPECT_TRUE(client.send_message(puzzle_request_message())); });
    EXPECT_EQ(sent.out, "📤 Sent: {\"RequestPuzzle\":null}...\n");
    EXPECT_EQ(peer->read_line(), "{\"RequestPuzzle\":null}");
    // Pieces 400 ms apart take longer than the 1 s timeout in all, but no single read waits that long.
    std::thread writer([&] {
        for (const char* piece : {"{\"msg_type\":", "\"status\",", "\"n\":7}"})
            peer->send(piece), std::this_thread::sleep_for(400ms);
        peer->send("\n{\"n\":2}\n{\"n\":");
    });
    CapturedOutput o;
    EXPECT_EQ(receive(o, 1.0f), (json{{"msg_type", "status"}, {"n", 7}}));
    writer.join();
    EXPECT_EQ(o.out, "📥 Raw response: {\"msg_type\":\"status\",\"n\":7}...\n📥 Message type: status\n");
    EXPECT_TRUE(client.has_buffered_line());
    EXPECT_EQ(receive(o, 0.2f), json({{"n", 2}}));  // already here: no wait, no timeout line
    EXPECT_FALSE(client.has_buffered_line());      // only the start of a third one
    ASSERT_TRUE(peer->send("3}\n"));
    EXPECT_EQ(receive(o), json({{"n", 3}}));
    EXPECT_EQ(o.err, "");
}

TEST_F(BridgeClient, TimeoutsLogCutsAndTheEndOfTheStream)
{
    const std::string prefix = "{\"msg_type\":\"x\",\"pad\":\"";
    CapturedOutput o;
    for (const size_t length : {100u, 101u}) {
        const std::string line = prefix + std::string(length - prefix.size() - 2, 'a') + "\"}";
        ASSERT_TRUE(peer->send(line + "\n"));
        EXPECT_EQ(receive(o, 2.5f), json::parse(line));
        EXPECT_EQ(o.out, "📥 Raw response: " + line.substr(0, 100) + "...\n📥 Message type: x\n");
    }
    timeval set{};
    socklen_t length = sizeof set;
    ASSERT_EQ(::getsockopt(client.socket_descriptor(), SOL_SOCKET, SO_RCVTIMEO, &set, &length), 0);
    EXPECT_EQ(set.tv_sec * 1000000 + set.tv_usec, 2500000);  // set on every call
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(o, 0.2f), json::object());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(o.out + o.err, "⏰ Timeout or error receiving response\n");
    EXPECT_EQ(receive(o, -0.5f), json::object());
    EXPECT_EQ(o.out + o.err, "❌ Failed to set socket timeout\n");

    ASSERT_TRUE(peer->send("{\"last\":true}\n{\"cut\":"));
    peer->close();
    EXPECT_EQ(receive(o), json({{"last", true}}));  // what arrived before the close is kept
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(receive(o), json::object());
        EXPECT_EQ(o.out + o.err, "❌ Connection closed by bridge\n");
    }
}

TEST_F(BridgeClient, LinesThatAreNotUsableObjectsComeBackEmpty)
{
    const std::string puzzle_type = "📥 Message type: pow_puzzle_v1\n";
    const std::string id(40, 'f');
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {  // line, lines after the raw one, usable
        {"[1,2,3]", "", false}, {"null", "", false}, {"not json", "", false},
        {"{\"msg_type\":\"x\"} trailing", "", false}, {"{\"msg_type\":5}", "", false},
        {"{\"msg_type\":\"pow_puzzle_v1\"}", puzzle_type, false},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":7}}", puzzle_type, false},
        {std::string(200, '[') + std::string(200, ']'), "", false}, {std::string("{\"a\"\0:1}", 8), "", false},
        {"{\"hello\":[1]}", "📥 Message type: unknown\n", true},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{}}", puzzle_type + "🎯 Received puzzle with ID: NO_ID...\n", true},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":\"" + id + "\"}}",
         puzzle_type + "🎯 Received puzzle with ID: " + id.substr(0, 32) + "...\n", true},
        {"{\"msg_type\":\"error\"}", "📥 Message type: error\n❌ Bridge error: Unknown error\n", true}};
    for (const auto& [line, lines, usable] : cases) {
        ASSERT_TRUE(peer->send(line + "\n"));
        CapturedOutput o;
        EXPECT_EQ(receive(o), usable ? json::parse(line) : json::object()) << line;
        EXPECT_EQ(o.out, "📥 Raw response: " + line.substr(0, 100) + "...\n" + lines);
        EXPECT_EQ(o.err.rfind("❌ Failed to parse JSON response: ", 0), usable ? std::string::npos : 0u) << o.err;
        EXPECT_EQ(o.err.find('\n'), usable ? std::string::npos : o.err.size() - 1);  // one line at most
    }
}

TEST_F(BridgeClient, AnOverLongLineIsDroppedAndTheStreamGoesOn)
{
    const std::string at_limit = "\"" + std::string(kMaxBridgeLineBytes - 2, 'a') + "\"";  // a line like any other
    std::thread writer([&] { peer->send(at_limit + "\n" + std::string(kMaxBridgeLineBytes + 1, 'b') + "\n{}\n"); });
    CapturedOutput o;
    EXPECT_EQ(receive(o), json::object());
    EXPECT_EQ(o.out.rfind("📥 Raw response: \"aaa", 0), 0u);
    EXPECT_EQ(receive(o), json::object());
    writer.join();
    EXPECT_EQ(o.out, "📥 Raw response: {}...\n📥 Message type: unknown\n");
    EXPECT_EQ(o.err, "❌ Dropped a message from bridge longer than 1048576 bytes\n");
}

TEST_F(BridgeClient, InterruptEndsOneReceiveWaitSilently)
{
    json reply = json::array();
    CapturedOutput o = capture_output([&] {
        std::thread fetcher([&] { reply = client.receive_message(30.0f); });
        client.interrupt();  // during the wait or just before it
        fetcher.join();
    });
    EXPECT_EQ(reply, json::object());
    EXPECT_EQ(o.out + o.err, "");  // a wake-up is not a failure
    client.interrupt();
    client.interrupt();
    EXPECT_EQ(receive(o, 30.0f), json::object());
    EXPECT_EQ(receive(o, 0.2f), json::object());  // two interrupts count as one
    EXPECT_EQ(o.err, "⏰ Timeout or error receiving response\n");
    ASSERT_TRUE(peer->send("{\"still\":1}\n"));
    EXPECT_EQ(receive(o), json({{"still", 1}}));
}

TEST_F(BridgeClient, TwoWritersNeverInterleaveTheirLines)
{
    // Lines far larger than the small socket buffers: every write waits for the reader many times.
    const int small = 16384;
    ASSERT_EQ(::setsockopt(client.socket_descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(::setsockopt(peer->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    auto line_of = [](int who, int i) { return json{{"who", who}, {"i", i}, {"fill", std::string(150000, 'a' + who)}}; };
    std::atomic<int> failures{0};
    int next[2] = {0, 0};
    const CapturedOutput o = capture_output([&] {
        std::thread writers[2];
        for (int who : {0, 1})
            writers[who] = std::thread([&, who] {
                for (int i = 0; i < 20; ++i) failures += !client.send_message(line_of(who, i));
            });
        for (std::optional<std::string> line; next[0] + next[1] < 40 && (line = peer->read_line(10s));) {
            const json message = json::parse(*line);  // a torn line would not parse
            const int who = message.at("who");
            EXPECT_EQ(message, line_of(who, next[who]++));
        }
        for (std::thread& w : writers) w.join();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(next[0] + next[1], 40);
    EXPECT_EQ(o.err, "");
}

}  // namespace
