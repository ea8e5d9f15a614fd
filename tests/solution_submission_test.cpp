// Submitting a solution through the process's client.
#include <gtest/gtest.h>

#include <poll.h>

#include "bridge/client.h"
#include "bridge/solution_submission.h"
#include "support/captured_output.h"
#include "support/test_bridge.h"

namespace {

using support::capture_output;
using support::CapturedOutput;

TEST(SolutionSubmission, TheLineIsExactReportedAndAFailureIsAResult)
{
    SubmissionResult r;
    CapturedOutput o = capture_output([&] { r = submitPowSolutionToBridge("id", "r", {"a"}, {"b"}, "n"); });
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.request_json, "");
    EXPECT_EQ(r.message, "Corvane miner client not initialized");
    EXPECT_EQ(o.out + o.err, "");

    support::TestBridge bridge;
    g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>("127.0.0.1", bridge.port());
    capture_output([] { ASSERT_TRUE(g_corvane_miner_client->connect()); });
    const auto peer = bridge.accept();
    const std::string nonce = std::string(70, '0') + "0123456789";
    o = capture_output([&] { r = submitPowSolutionToBridge("proposal-0123456789abcdef", "root", {"a0", "a1"}, {}, nonce); });
    const std::string line = "{\"SubmitSolution\":{\"pow\":{\"nonce\":\"" + nonce +
                             "\",\"path_a\":[\"a0\",\"a1\"],\"path_b\":[],\"root\":\"root\"},\"proposal_id\":\"proposal-0123456789abcdef\"}}";
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.message, "Submitted to miner bridge");
    EXPECT_EQ(r.request_json, line);
    EXPECT_EQ(peer->read_line(), line);
    EXPECT_EQ(o.out + o.err, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: proposal-0123456...\n📤 Sent: " +
                                 line.substr(0, 100) + "...\n✅ Solution submitted to miner bridge successfully!\n");

    // A reset connection: both sends fail as results, and neither raises SIGPIPE.
    peer->close(true);
    pollfd gone{g_corvane_miner_client->socket_descriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&gone, 1, 2000), 1);
    for (int i = 0; i < 2; ++i) {
        o = capture_output([&] { r = submitPowSolutionToBridge("p1", "r", {"a"}, {"b"}, "n"); });
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.message, "Failed to send to miner bridge");
        EXPECT_EQ(o.out, "📤 Submitting POW solution to miner bridge...\n📤 Proposal ID: p1...\n");
        EXPECT_EQ(o.err, "❌ Failed to send message\n❌ Failed to submit solution to miner bridge\n");
    }
    g_corvane_miner_client.reset();
}

TEST(SolutionSubmission, EveryDigestTextHasEightyCharacters)
{
    Pow pow;
    pow.root = Digest{{0x1200, 5, 6, 7, 8}};  // first byte 00: the short form would drop it
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) pow.path_a[i] = Digest{{i << 8, 0, 0, 0, 1}};
    pow.nonce = Digest{{0, 3, 0, 0, 0}};
    const SolutionTexts t = solution_texts(pow);
    ASSERT_EQ(t.path_a.size(), GUESSER_TREE_HEIGHT);
    ASSERT_EQ(t.path_b.size(), GUESSER_TREE_HEIGHT);
    EXPECT_EQ(t.root, digest_to_hex_padded(pow.root));
    EXPECT_EQ(t.nonce, digest_to_hex_padded(pow.nonce));
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) {
        EXPECT_EQ(t.path_a[i], digest_to_hex_padded(pow.path_a[i]));
        EXPECT_EQ(t.path_b[i], std::string(DIGEST_HEX_LENGTH, '0'));
    }
    EXPECT_EQ(t.root.size(), DIGEST_HEX_LENGTH);
}

}  // namespace
