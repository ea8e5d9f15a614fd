// The bridge client over a real loopback connection to the scripted bridge.
#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "support/captured_output.h"
#include "support/scripted_bridge.h"

namespace {

using support::capture_output;
using support::CapturedOutput;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Waits until the client's socket reports the peer gone (POLLHUP/POLLERR or end of stream).
bool wait_for_peer_gone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 2000) == 1;
}

TEST(BridgeConnection, ConnectsReportsAndDisconnectsOnce)
{
    support::ScriptedBridge bridge;
    CorvaneCudaMinerClient client(bridge.host(), bridge.port());
    EXPECT_EQ(client.socket_descriptor(), -1);  // construction opens nothing
    const std::string where = "127.0.0.1:" + std::to_string(bridge.port());

    bool connected = false;
    CapturedOutput o = capture_output([&] { connected = client.connect(); });
    EXPECT_TRUE(connected);
    EXPECT_EQ(o.out, "✅ Connected to miner bridge at " + where + "\n");
    EXPECT_EQ(o.err, "");
    EXPECT_NE(client.socket_descriptor(), -1);
    EXPECT_TRUE(bridge.accept());

    o = capture_output([&] {
        client.disconnect();
        client.disconnect();  // the second finds nothing to close
    });
    EXPECT_EQ(o.out, "📡 Disconnected from miner bridge\n");
    EXPECT_EQ(client.socket_descriptor(), -1);
    EXPECT_EQ(bridge.read_line(2s), std::nullopt);  // the bridge sees end of stream
}

TEST(BridgeConnection, FailuresAreLinesAndResults)
{
    int refused_port;
    {
        support::ScriptedBridge closed;
        refused_port = closed.port();
        closed.stop_listening();
    }
    CorvaneCudaMinerClient refused("127.0.0.1", refused_port);
    bool connected = true;
    CapturedOutput o = capture_output([&] { connected = refused.connect(); });
    EXPECT_FALSE(connected);
    EXPECT_EQ(o.err, "❌ Failed to connect to bridge at 127.0.0.1:" + std::to_string(refused_port) + "\n");
    EXPECT_EQ(o.out, "");

    for (const std::string host : {"localhost", "256.0.0.1", ""}) {
        CorvaneCudaMinerClient by_name(host, 5002);
        o = capture_output([&] { connected = by_name.connect(); });
        EXPECT_FALSE(connected);
        EXPECT_EQ(o.err, "❌ Invalid address: " + host + "\n");
    }

    CorvaneCudaMinerClient idle("127.0.0.1", 5002);
    json reply = json::array();
    bool sent = true;
    o = capture_output([&] {
        reply = idle.receive_message(1.0f);
        sent = idle.send_message(puzzle_request_message());
    });
    EXPECT_EQ(reply, json::object());
    EXPECT_FALSE(sent);
    EXPECT_EQ(o.err, "❌ Not connected to bridge\n❌ Failed to send message\n");
    EXPECT_EQ(o.out, "");
}

class BridgeClient : public testing::Test {
protected:
    void SetUp() override
    {
        client = std::make_unique<CorvaneCudaMinerClient>(bridge.host(), bridge.port());
        bool connected = false;
        capture_output([&] { connected = client->connect(); });
        ASSERT_TRUE(connected);
        ASSERT_TRUE(bridge.accept());
    }

    // One receive with its console output.
    json receive(CapturedOutput& o, float timeout = 2.0f)
    {
        json reply;
        o = capture_output([&] { reply = client->receive_message(timeout); });
        return reply;
    }

    support::ScriptedBridge bridge;
    std::unique_ptr<CorvaneCudaMinerClient> client;
};

TEST_F(BridgeClient, RequestGoesOutAsOneExactLine)
{
    bool sent = false;
    const CapturedOutput o = capture_output([&] { sent = client->send_message(puzzle_request_message()); });
    EXPECT_TRUE(sent);
    EXPECT_EQ(o.out, "📤 Sent: {\"RequestPuzzle\":null}...\n");
    EXPECT_EQ(bridge.read_pending(200ms), "{\"RequestPuzzle\":null}\n");

    // Non-ASCII text goes out as raw UTF-8, keys in ascending order.
    capture_output([&] { client->send_message(json{{"z", 1}, {"a", "é"}}); });
    EXPECT_EQ(bridge.read_pending(200ms), "{\"a\":\"é\",\"z\":1}\n");

    // Invalid UTF-8 cannot be encoded: the serialiser's exception, nothing on the wire.
    EXPECT_THROW(client->send_message(json{{"a", std::string("\xFF")}}), json::type_error);
    EXPECT_EQ(bridge.read_pending(100ms), "");
}

TEST_F(BridgeClient, AssemblesAReplySplitOverSegments)
{
    // Four pieces 200 ms apart take longer than the 0.3 s timeout in all, but no single read
    // waits that long.
    std::thread writer([&] { bridge.send_segments({"{\"msg_type\":", "\"status\",", "\"n\":7}", "\n"}, 200ms); });
    CapturedOutput o;
    const json reply = receive(o, 0.3f);
    writer.join();
    EXPECT_EQ(reply, (json{{"msg_type", "status"}, {"n", 7}}));
    EXPECT_EQ(o.out, "📥 Raw response: {\"msg_type\":\"status\",\"n\":7}...\n📥 Message type: status\n");
    EXPECT_EQ(o.err, "");
    EXPECT_FALSE(client->has_buffered_line());
}

TEST_F(BridgeClient, TwoRepliesInOneSegmentBothArriveInOrder)
{
    ASSERT_TRUE(bridge.send("{\"n\":1}\n{\"n\":2}\n{\"n\":"));
    CapturedOutput o;
    EXPECT_EQ(receive(o), json({{"n", 1}}));
    EXPECT_TRUE(client->has_buffered_line());
    EXPECT_EQ(receive(o, 0.2f), json({{"n", 2}}));  // already here: no wait, no timeout line
    EXPECT_EQ(o.err, "");
    EXPECT_FALSE(client->has_buffered_line());       // only the start of a third one
    ASSERT_TRUE(bridge.send("3}\n"));
    EXPECT_EQ(receive(o), json({{"n", 3}}));
}

TEST_F(BridgeClient, LogsTheFirstHundredCharactersOfAReply)
{
    const std::string prefix = "{\"msg_type\":\"x\",\"pad\":\"";
    const std::string hundred = prefix + std::string(100 - prefix.size() - 2, 'a') + "\"}";
    const std::string hundred_one = prefix + std::string(101 - prefix.size() - 2, 'a') + "\"}";
    ASSERT_EQ(hundred.size(), 100u);
    ASSERT_TRUE(bridge.send(hundred + "\n" + hundred_one + "\n"));

    CapturedOutput o;
    receive(o);
    EXPECT_EQ(o.out, "📥 Raw response: " + hundred + "...\n📥 Message type: x\n");
    const json reply = receive(o);
    EXPECT_EQ(reply.at("pad").get<std::string>().size(), 101u - prefix.size() - 2);  // the reply is whole
    EXPECT_EQ(o.out, "📥 Raw response: " + hundred_one.substr(0, 100) + "...\n📥 Message type: x\n");
}

TEST_F(BridgeClient, SetsTheReceiveTimeoutOnEveryCall)
{
    ASSERT_TRUE(bridge.send("{}\n"));
    CapturedOutput o;
    receive(o, 2.5f);
    timeval set{};
    socklen_t length = sizeof set;
    ASSERT_EQ(::getsockopt(client->socket_descriptor(), SOL_SOCKET, SO_RCVTIMEO, &set, &length), 0);
    EXPECT_EQ(set.tv_sec, 2);
    EXPECT_EQ(set.tv_usec, 500000);

    const auto start = Clock::now();
    EXPECT_EQ(receive(o, 0.2f), json::object());
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_EQ(o.err, "⏰ Timeout or error receiving response\n");
    EXPECT_EQ(o.out, "");

    EXPECT_EQ(receive(o, -0.5f), json::object());
    EXPECT_EQ(o.err, "❌ Failed to set socket timeout\n");
}

TEST_F(BridgeClient, PeerCloseEndsEveryLaterReceive)
{
    ASSERT_TRUE(bridge.send("{\"last\":true}\n{\"cut\":"));
    bridge.close_connection();
    CapturedOutput o;
    EXPECT_EQ(receive(o), json({{"last", true}}));  // what arrived before the close is kept
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(receive(o), json::object());
        EXPECT_EQ(o.err, "❌ Connection closed by bridge\n");
        EXPECT_EQ(o.out, "");
    }
    EXPECT_NE(client->socket_descriptor(), -1);  // still "connected" from the client's side
}

TEST_F(BridgeClient, RepliesThatAreNotUsableObjectsComeBackEmpty)
{
    struct Case {
        std::string line;
        std::string type_line;  // printed before the failure, when the line was an object
    };
    const std::vector<Case> cases = {
        {"[1,2,3]", ""},
        {"42", ""},
        {"null", ""},
        {"not json", ""},
        {"{\"msg_type\":\"x\"} trailing", ""},
        {"{\"msg_type\":5}", ""},
        {"{\"msg_type\":\"pow_puzzle_v1\"}", "📥 Message type: pow_puzzle_v1\n"},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":[1]}", "📥 Message type: pow_puzzle_v1\n"},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":7}}", "📥 Message type: pow_puzzle_v1\n"},
        {"{\"msg_type\":\"error\",\"message\":false}", "📥 Message type: error\n"},
        {std::string(200, '[') + std::string(200, ']'), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        ASSERT_TRUE(bridge.send(c.line + "\n"));
        CapturedOutput o;
        EXPECT_EQ(receive(o), json::object());
        EXPECT_EQ(o.out, "📥 Raw response: " + c.line.substr(0, 100) + "...\n" + c.type_line);
        EXPECT_TRUE(starts_with(o.err, "❌ Failed to parse JSON response: ")) << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1);  // one line
    }
}

TEST_F(BridgeClient, ObjectsComeBackWithTheirTypeLines)
{
    const std::string long_id(40, 'f');
    struct Case {
        std::string line;
        std::string lines;  // after the raw line
    };
    const std::vector<Case> cases = {
        {"{\"hello\":[1]}", "📥 Message type: unknown\n"},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{}}",
         "📥 Message type: pow_puzzle_v1\n🎯 Received puzzle with ID: NO_ID...\n"},
        {"{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":\"" + long_id + "\"}}",
         "📥 Message type: pow_puzzle_v1\n🎯 Received puzzle with ID: " + long_id.substr(0, 32) + "...\n"},
        {"{\"msg_type\":\"error\"}", "📥 Message type: error\n❌ Bridge error: Unknown error\n"},
        {"{\"message\":\"No puzzle available\",\"msg_type\":\"error\"}",
         "📥 Message type: error\n❌ Bridge error: No puzzle available\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(bridge.send(c.line + "\n"));
        CapturedOutput o;
        EXPECT_EQ(receive(o), json::parse(c.line));  // returned unchanged
        EXPECT_EQ(o.out, "📥 Raw response: " + c.line.substr(0, 100) + "...\n" + c.lines);
        EXPECT_EQ(o.err, "");
    }
}

TEST_F(BridgeClient, NulByteSpoilsOnlyItsOwnLine)
{
    ASSERT_TRUE(bridge.send(std::string("{\"a\"\0:1}\n{\"b\":2}\n", 17)));
    CapturedOutput o;
    EXPECT_EQ(receive(o), json::object());
    EXPECT_TRUE(starts_with(o.err, "❌ Failed to parse JSON response: "));
    EXPECT_EQ(receive(o), json({{"b", 2}}));
}

TEST_F(BridgeClient, OverLongLineIsDroppedAndTheStreamGoesOn)
{
    // Exactly the limit is a line like any other (here a JSON string, so not an object).
    const std::string at_limit = "\"" + std::string(kMaxBridgeLineBytes - 2, 'a') + "\"";
    const std::string over_limit(kMaxBridgeLineBytes + 1, 'b');
    std::thread writer([&] { bridge.send(at_limit + "\n" + over_limit + "\n{\"after\":1}\n"); });
    CapturedOutput o;
    EXPECT_EQ(receive(o), json::object());
    EXPECT_TRUE(starts_with(o.out, "📥 Raw response: \"aaa"));
    EXPECT_TRUE(starts_with(o.err, "❌ Failed to parse JSON response: "));
    EXPECT_EQ(receive(o), json({{"after", 1}}));
    writer.join();
    EXPECT_EQ(o.err, "❌ Dropped a message from bridge longer than 1048576 bytes\n");
    EXPECT_EQ(o.out, "📥 Raw response: {\"after\":1}...\n📥 Message type: unknown\n");
}

CorvaneCudaMinerClient* signal_target = nullptr;
extern "C" void interrupt_from_signal(int) { signal_target->interrupt(); }

TEST_F(BridgeClient, InterruptEndsAReceiveWaitAtOnce)
{
    // From another thread, during the wait.
    json reply = json::array();
    Clock::duration waited{};
    CapturedOutput o = capture_output([&] {
        std::thread fetcher([&] {
            const auto start = Clock::now();
            reply = client->receive_message(30.0f);
            waited = Clock::now() - start;
        });
        std::this_thread::sleep_for(100ms);
        client->interrupt();
        fetcher.join();
    });
    EXPECT_EQ(reply, json::object());
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(o.out + o.err, "");  // a wake-up is not a failure

    // Before the wait: the next receive returns at once, the one after waits again.
    client->interrupt();
    client->interrupt();
    const auto start = Clock::now();
    EXPECT_EQ(receive(o, 30.0f), json::object());
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(receive(o, 0.2f), json::object());
    EXPECT_EQ(o.err, "⏰ Timeout or error receiving response\n");

    // From a signal handler running on the waiting thread itself.
    signal_target = client.get();
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = interrupt_from_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    reply = json::array();
    o = capture_output([&] {
        std::thread fetcher([&] { reply = client->receive_message(30.0f); });
        std::this_thread::sleep_for(100ms);
        ::pthread_kill(fetcher.native_handle(), SIGUSR1);
        fetcher.join();
    });
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(reply, json::object());
    EXPECT_EQ(o.err, "");

    // A line that is already here is still delivered after a wake-up was consumed.
    ASSERT_TRUE(bridge.send("{\"still\":1}\n"));
    EXPECT_EQ(receive(o), json({{"still", 1}}));
}

TEST_F(BridgeClient, WritingToAClosedConnectionFailsWithoutSigpipe)
{
    bridge.close_connection();
    ASSERT_TRUE(wait_for_peer_gone(client->socket_descriptor()));
    // The first write after the peer's close may still be taken by the kernel; the peer's reset
    // then makes a later one fail. SIGPIPE would end the test process here.
    bool failed = false;
    CapturedOutput o = capture_output([&] {
        for (int i = 0; i < 100 && !failed; ++i) {
            failed = !client->send_message(puzzle_request_message());
            if (!failed) std::this_thread::sleep_for(10ms);
        }
    });
    EXPECT_TRUE(failed);
    EXPECT_NE(o.err.find("❌ Failed to send message\n"), std::string::npos);
    EXPECT_EQ(o.err.find("❌ Failed to send message\n"), o.err.size() - std::string("❌ Failed to send message\n").size());
}

TEST_F(BridgeClient, TwoWritersNeverInterleaveTheirLines)
{
    // Lines far larger than a socket write takes at once while the reader lags behind.
    constexpr int kEach = 20;
    const std::string fill_a(150000, 'a');
    const std::string fill_b(150000, 'b');
    auto line_of = [](const char* who, int i, const std::string& fill) {
        return json{{"who", who}, {"i", i}, {"fill", fill}}.dump();
    };
    // Small socket buffers make every write wait for the reader many times over, which is where
    // two unguarded writers would get between each other's bytes.
    const int small = 16384;
    ASSERT_EQ(::setsockopt(client->socket_descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(bridge.set_receive_buffer(small));
    std::atomic<int> failures{0};
    std::vector<std::string> lines;
    const CapturedOutput o = capture_output([&] {
        std::thread fetcher([&] {
            for (int i = 0; i < kEach; ++i) {
                if (!client->send_message(json::parse(line_of("a", i, fill_a)))) ++failures;
            }
        });
        std::thread miner([&] {
            for (int i = 0; i < kEach; ++i) {
                if (!client->send_message(json::parse(line_of("b", i, fill_b)))) ++failures;
            }
        });
        for (int i = 0; i < 2 * kEach; ++i) {
            std::this_thread::sleep_for(2ms);
            const std::optional<std::string> line = bridge.read_line(10s);
            if (!line) break;
            lines.push_back(*line);
        }
        fetcher.join();
        miner.join();
    });
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(lines.size(), 2u * kEach);
    int next_a = 0;
    int next_b = 0;
    for (const std::string& line : lines) {
        const bool from_a = line == line_of("a", next_a, fill_a);
        const bool from_b = line == line_of("b", next_b, fill_b);
        ASSERT_TRUE(from_a || from_b) << line.substr(0, 80);
        (from_a ? next_a : next_b)++;
    }
    EXPECT_EQ(next_a, kEach);
    EXPECT_EQ(next_b, kEach);
    EXPECT_EQ(o.err, "");
}

}  // namespace
