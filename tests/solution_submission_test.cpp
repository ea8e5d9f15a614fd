// Submitting a solution through the process's client, and the fetcher reading what the bridge
// answers to it.
#include <gtest/gtest.h>

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge_reply.h"
#include "bridge/client.h"
#include "bridge/solution_submission.h"
#include "support/captured_output.h"
#include "support/scripted_bridge.h"

namespace {

using support::capture_output;
using support::CapturedOutput;
using namespace std::chrono_literals;
using nlohmann::json;

// Installs a connected g_corvane_miner_client for one test and clears it afterwards.
class ProcessClient : public testing::Test {
protected:
    void SetUp() override
    {
        g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>(bridge.host(), bridge.port());
        bool connected = false;
        capture_output([&] { connected = g_corvane_miner_client->connect(); });
        ASSERT_TRUE(connected);
        ASSERT_TRUE(bridge.accept());
    }
    void TearDown() override { g_corvane_miner_client.reset(); }

    support::ScriptedBridge bridge;
};

TEST(SolutionSubmission, WithoutAClientNothingIsBuiltOrPrinted)
{
    ASSERT_EQ(g_corvane_miner_client, nullptr);
    SubmissionResult result;
    result.success = true;
    const CapturedOutput o = capture_output([&] { result = submitPowSolutionToBridge("id", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.request_json, "");
    EXPECT_EQ(result.message, "Corvane miner client not initialized");
    EXPECT_EQ(o.out + o.err, "");
}

TEST_F(ProcessClient, SolutionLineIsExactAndReported)
{
    const std::string nonce = std::string(70, '0') + "0123456789";
    SubmissionResult result;
    const CapturedOutput o = capture_output([&] {
        result = submitPowSolutionToBridge("proposal-0123456789abcdef", "root-hex", {"a0", "a1"}, {"b0"}, nonce);
    });
    const std::string expected = "{\"SubmitSolution\":{\"pow\":{\"nonce\":\"" + nonce +
                                 "\",\"path_a\":[\"a0\",\"a1\"],\"path_b\":[\"b0\"],\"root\":\"root-hex\"},"
                                 "\"proposal_id\":\"proposal-0123456789abcdef\"}}";
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.message, "Submitted to miner bridge");
    EXPECT_EQ(result.request_json, expected);
    EXPECT_EQ(bridge.read_pending(200ms), expected + "\n");
    EXPECT_EQ(o.out, "📤 Submitting POW solution to miner bridge...\n"
                     "📤 Proposal ID: proposal-0123456...\n"
                     "📤 Sent: " + expected.substr(0, 100) + "...\n"
                     "✅ Solution submitted to miner bridge successfully!\n");
    EXPECT_EQ(o.err, "");

    // Empty paths and a short id.
    const CapturedOutput short_o = capture_output([&] { result = submitPowSolutionToBridge("p1", "r", {}, {}, nonce); });
    EXPECT_NE(result.request_json.find("\"path_a\":[],\"path_b\":[]"), std::string::npos);
    EXPECT_NE(short_o.out.find("📤 Proposal ID: p1...\n"), std::string::npos);
    EXPECT_EQ(bridge.read_pending(200ms), result.request_json + "\n");
}

TEST_F(ProcessClient, ResetConnectionFailsTheSubmissionAndTheProcessGoesOn)
{
    bridge.reset_connection();
    pollfd gone{g_corvane_miner_client->socket_descriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&gone, 1, 2000), 1);  // the reset has reached the client

    SubmissionResult result;
    const CapturedOutput o = capture_output([&] { result = submitPowSolutionToBridge("id", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, "Failed to send to miner bridge");
    EXPECT_FALSE(result.request_json.empty());
    EXPECT_EQ(o.err, "❌ Failed to send message\n❌ Failed to submit solution to miner bridge\n");
    EXPECT_EQ(o.out, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: id...\n");
}

TEST_F(ProcessClient, AnswerToASolutionNeverLeavesTheFetcherALineBehind)
{
    // The bridge acknowledges a solution and, in the same segment, answers the puzzle request.
    capture_output([&] { submitPowSolutionToBridge("old", "r", {}, {}, "n"); });
    ASSERT_TRUE(bridge.read_line());
    ASSERT_TRUE(bridge.send("{\"msg_type\":\"solution_ack\"}\n"
                            "{\"msg_type\":\"pow_puzzle_v1\",\"puzzle\":{\"id\":\"fresh\"}}\n"));

    // The fetcher's way: every complete line that has arrived goes through the reply handler.
    EventHandler events;
    std::string last_id;
    std::vector<ReplyOutcome> outcomes;
    capture_output([&] {
        outcomes.push_back(acceptBridgeReply(g_corvane_miner_client->receive_message(2.0f), events, last_id));
        while (g_corvane_miner_client->has_buffered_line()) {
            outcomes.push_back(acceptBridgeReply(g_corvane_miner_client->receive_message(2.0f), events, last_id));
        }
    });
    EXPECT_EQ(outcomes, (std::vector<ReplyOutcome>{ReplyOutcome::IGNORED, ReplyOutcome::NEW_PUZZLE}));
    MiningEvent event;
    ASSERT_TRUE(events.waitForEvent(event, 0ms));
    EXPECT_EQ(event.puzzle_id, "fresh");
    EXPECT_EQ(last_id, "fresh");
}

}  // namespace
