#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client.h"
#include "bridge/mining_controller.h"
#include "bridge/shared_state.h"
#include "bridge/stop_signal.h"
#include "gpu/runtime.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::easy_threshold;
using support::impossible_threshold;
using support::puzzle_reply;
using support::test_puzzle;
using support::TestBridge;

constexpr uint64_t TREE_HEIGHT = 5;

// `first` comes before `second` in `text`, both present.
testing::AssertionResult in_order(const std::string& text, const std::string& first, const std::string& second)
{
    const size_t a = text.find(first);
    const size_t b = text.find(second);
    if (a == std::string::npos || b == std::string::npos || a >= b)
        return testing::AssertionFailure() << "'" << first << "' then '" << second << "' in:\n" << text;
    return testing::AssertionSuccess();
}

struct ControllerRun {
    bool mined = false;
    std::string out;
    std::string err;
    std::chrono::steady_clock::duration stop_took{};
};

class MiningController : public testing::Test {
protected:
    void SetUp() override
    {
        current_buffer.reset();
        emu::configure(emu::Config{});
        stop_mining = false;
        event_handler.reset();
        last_puzzle_id.clear();
        current_prev_block.clear();
        cli_nonce_offset = 0;
        global_nonce_offset = 0;
        total_solutions_found = 0;
        config.geometry.tree_height = TREE_HEIGHT;
        config.driver.nonces_per_range = 256;
        config.driver.max_batch_size = 128;
        config.driver.event_wait = 1ms;
        config.driver.range_pause = 1ms;
        config.fetch_pause = 20ms;
        config.receive_timeout_s = 2.0f;
    }
    void TearDown() override { stop_mining = false; }

    // Runs the controller against the bridge on another thread until `until` returns, then stops
    // it the way a SIGINT does and waits for the shutdown.
    template <typename Until>
    ControllerRun run(const TestBridge& bridge, Until until)
    {
        ControllerRun r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        auto mining = std::async(std::launch::async,
                                 [&] { return startUnifiedMining("127.0.0.1", bridge.port(), config); });
        until();
        const auto t0 = std::chrono::steady_clock::now();
        stop_from_signal(2);
        const bool ended = mining.wait_for(10s) == std::future_status::ready;
        r.stop_took = std::chrono::steady_clock::now() - t0;
        r.mined = ended && mining.get();
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(ended);
        return r;
    }

    MiningConfig config;
};

TEST_F(MiningController, MinesAPuzzleOnceAndShutsDownInOrder)
{
    const PowPuzzle puzzle = test_puzzle("first-puzzle-0123456789abcdef", "block-1", easy_threshold());
    TestBridge bridge(TestBridge::always(puzzle_reply(puzzle)));
    std::string submission;
    const ControllerRun r = run(bridge, [&] {
        submission = bridge.wait_for_line("\"SubmitSolution\"", 10s);
        // Several more polls of the same id after the solution: no new event, no further search.
        const size_t polls = bridge.requests() + 4;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (bridge.requests() < polls && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    });
    EXPECT_TRUE(r.mined);
    ASSERT_FALSE(submission.empty());
    const support::CheckedSolution s = support::check_submission(submission, puzzle, TREE_HEIGHT);
    EXPECT_EQ(s.proposal_id, puzzle.id);
    EXPECT_LT(s.nonce_counter, config.driver.max_batch_size);  // range 0, first batch
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);

    EXPECT_GE(count_of(r.out, "🎯 Received puzzle with ID: "), 4u);  // the same id, again and again
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected from bridge! ID: first-puzzle-012...\n"), 1u) << r.out;
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle: first-puzzle-012...\n"), 1u);
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected, resetting nonce offset to: 0\n"), 1u);
    EXPECT_EQ(count_of(r.out, "=== STARTING GPU PREPROCESSING ==="), 1u);
    EXPECT_EQ(count_of(r.out, "🎉 Solution found for puzzle! Continuing to mine for more solutions...\n"), 1u);
    EXPECT_EQ(r.out.find("🔄 Mining interrupted"), std::string::npos);

    // The stop: handler lines, the loop takes the event, the fetcher ends, then the teardown.
    EXPECT_TRUE(in_order(r.out, "✅ Connected to miner bridge at 127.0.0.1:", "🔄 Bridge puzzle fetcher started"));
    // Other threads print while the summary is written: each line in order, not necessarily adjacent.
    EXPECT_TRUE(in_order(r.out, "\nReceived signal 2. Shutting down gracefully...\n", "\n=== MINING SESSION COMPLETED ===\n"));
    EXPECT_TRUE(in_order(r.out, "=== MINING SESSION COMPLETED ===\n", "Total solutions found: 1\n"));
    EXPECT_TRUE(in_order(r.out, "Received signal 2", "🛑 Stop mining event received\n"));
    EXPECT_TRUE(in_order(r.out, "Received signal 2", "🔄 Bridge puzzle fetcher stopped\n"));
    EXPECT_TRUE(in_order(r.out, "🛑 Stop mining event received\n", "📡 Disconnected from miner bridge\n"));
    EXPECT_TRUE(in_order(r.out, "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected from miner bridge\n"));
    EXPECT_TRUE(in_order(r.out, "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory...\n"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(g_corvane_miner_client, nullptr);
    EXPECT_EQ(current_buffer, nullptr);
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST_F(MiningController, EveryLineThatArrivedIsHandledInTheSameCycle)
{
    // An answer the bridge sends for something else, then the puzzle, in one segment. Left in the
    // buffer, the puzzle would wait for the next cycle, 5 s later.
    config.fetch_pause = MiningConfig{}.fetch_pause;
    const PowPuzzle puzzle = test_puzzle("second-line", "block-1", easy_threshold());
    TestBridge bridge(TestBridge::always(R"({"msg_type":"solution_ack"})"
                                         "\n" +
                                         puzzle_reply(puzzle)));
    std::string submission;
    const auto t0 = std::chrono::steady_clock::now();
    const ControllerRun r = run(bridge, [&] { submission = bridge.wait_for_line("\"SubmitSolution\"", 10s); });
    ASSERT_FALSE(submission.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
    EXPECT_EQ(bridge.requests(), 1u);
    EXPECT_TRUE(in_order(r.out, "📥 Message type: solution_ack\n", "🔄 New puzzle: second-line...\n"));
}

TEST_F(MiningController, ANewIdOnTheSameBlockContinuesTheNonceRanges)
{
    const PowPuzzle a = test_puzzle("puzzle-a", "block-1", easy_threshold(), 1);
    const PowPuzzle b = test_puzzle("puzzle-b", "block-1", easy_threshold(), 2);
    cli_nonce_offset = 4;
    global_nonce_offset = 4;
    // b comes after a's solution: arriving while a is mined it would be dropped (same block).
    std::atomic<bool> announce_b{false};
    TestBridge bridge([&](size_t) { return puzzle_reply(announce_b ? b : a); });
    std::vector<std::string> submissions;
    const ControllerRun r = run(bridge, [&] {
        bridge.wait_for_line("\"SubmitSolution\"", 10s);
        std::this_thread::sleep_for(30ms);  // the driver takes its solution event and returns
        announce_b = true;
        submissions = bridge.wait_for_lines("\"SubmitSolution\"", 2, 10s);
    });
    ASSERT_EQ(submissions.size(), 2u) << r.out;
    const auto first = support::check_submission(submissions[0], a, TREE_HEIGHT);
    const auto second = support::check_submission(submissions[1], b, TREE_HEIGHT);
    EXPECT_EQ(first.proposal_id, "puzzle-a");
    EXPECT_EQ(second.proposal_id, "puzzle-b");
    // a was found in range 4; b starts where a left off instead of searching range 4 again.
    EXPECT_EQ(first.nonce_counter / config.driver.nonces_per_range, 4u);
    EXPECT_EQ(second.nonce_counter / config.driver.nonces_per_range, 5u);
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected, resetting nonce offset to: 4\n"), 1u) << r.out;
    EXPECT_TRUE(in_order(r.out, "🔄 New puzzle: puzzle-a...\n", "🔄 New puzzle: puzzle-b...\n"));
    EXPECT_EQ(count_of(r.out, "🎉 Solution found for puzzle!"), 2u);
    EXPECT_TRUE(r.mined);
}

TEST_F(MiningController, ANewBlockInterruptsTheSearchAndResetsTheRange)
{
    const PowPuzzle a = test_puzzle("puzzle-a", "block-1", impossible_threshold(), 1);
    const PowPuzzle c = test_puzzle("puzzle-c", "block-2", easy_threshold(), 3);
    cli_nonce_offset = 2;
    config.driver.nonces_per_range = 64;
    config.driver.max_batch_size = 32;
    // Launches of one tree build, to tell when a has searched a whole range.
    testing::internal::CaptureStdout();
    const unsigned long long before_build = emu::launches();
    ASSERT_TRUE(preprocessPuzzle(a, config.geometry));
    const unsigned long long build_launches = emu::launches() - before_build;
    current_buffer.reset();
    testing::internal::GetCapturedStdout();

    std::atomic<bool> announce_c{false};
    TestBridge bridge([&](size_t) { return puzzle_reply(announce_c ? c : a); });
    std::string submission;
    const unsigned long long start = emu::launches();
    const ControllerRun r = run(bridge, [&] {
        // Two launches per range: the third has begun once the first range is done.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (emu::launches() < start + build_launches + 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        announce_c = true;
        submission = bridge.wait_for_line("\"SubmitSolution\"", 10s);
    });
    ASSERT_FALSE(submission.empty()) << r.out;
    const auto s = support::check_submission(submission, c, TREE_HEIGHT);
    EXPECT_EQ(s.proposal_id, "puzzle-c");
    EXPECT_EQ(s.nonce_counter / config.driver.nonces_per_range, 2u);  // back to the command line's range
    EXPECT_NE(r.out.find("No solution found after 64 nonces"), std::string::npos) << r.out;
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected, resetting nonce offset to: 2\n"), 2u);
    EXPECT_TRUE(in_order(r.out, "\n🔄 New puzzle detected during mining, switching...\n",
                         "🔄 Mining interrupted, continuing in main loop...\n"));
    EXPECT_TRUE(in_order(r.out, "🔄 Mining interrupted, continuing in main loop...\n", "🔄 New puzzle: puzzle-c...\n"));
    EXPECT_TRUE(in_order(r.out, "🔄 New puzzle: puzzle-a...\n", "🔄 New puzzle: puzzle-c...\n"));
}

TEST_F(MiningController, PuzzlesWithUnusablePathsAreRefusedBeforeGpuWork)
{
    PowPuzzle bad_text = test_puzzle("bad-text", "block-1", easy_threshold(), 1);
    bad_text.auth_paths.pow[1] = "zz" + bad_text.auth_paths.pow[1].substr(2);
    PowPuzzle not_canonical = test_puzzle("not-canonical", "block-1", easy_threshold(), 2);
    not_canonical.auth_paths.kernel[0] = digest_to_hex_padded(Digest{{0, 0, 0, field::P, 0}});
    const PowPuzzle good = test_puzzle("good", "block-1", easy_threshold(), 3);
    TestBridge bridge([&](size_t n) { return puzzle_reply(n == 0 ? bad_text : n == 1 ? not_canonical : good); });
    std::string submission;
    const ControllerRun r = run(bridge, [&] { submission = bridge.wait_for_line("\"SubmitSolution\"", 10s); });
    ASSERT_FALSE(submission.empty());
    EXPECT_EQ(support::check_submission(submission, good, TREE_HEIGHT).proposal_id, "good");
    EXPECT_EQ(r.err,
              "Error: puzzle bad-text... refused: auth path pow[1] is not hexadecimal\n"
              "Error: puzzle not-canonical... refused: auth path kernel[0] holds element 3 >= p\n");
    EXPECT_EQ(count_of(r.out, "=== STARTING GPU PREPROCESSING ==="), 1u);
    // A refused puzzle changes nothing: the good one still starts a new block.
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected, resetting nonce offset to: 0\n"), 1u);
}

TEST(PuzzlePaths, OnlyDigestTextsOfCanonicalElementsPass)
{
    PowPuzzle p = test_puzzle("p", "b", easy_threshold());
    EXPECT_EQ(puzzlePathsError(p), "");
    p.auth_paths.pow[0] = "0x1f";  // short forms and the 0x prefix are digest texts
    p.auth_paths.header[1] = "abc";
    p.auth_paths.kernel.push_back("not used");  // beyond the used entry
    EXPECT_EQ(puzzlePathsError(p), "");
    p.auth_paths.header.clear();  // missing entries hash as zero digests
    EXPECT_EQ(puzzlePathsError(p), "");
    p.auth_paths.pow[2] = digest_to_hex_padded(Digest{{field::P - 1, 0, 0, 0, field::P - 1}});
    EXPECT_EQ(puzzlePathsError(p), "");

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "is empty"},
        {"0x", "is empty"},
        {std::string(82, '1'), "has more than 80 hex digits"},
        {"12 34", "is not hexadecimal"},
        {"1g", "is not hexadecimal"},
        {"-1", "is not hexadecimal"},
        {digest_to_hex_padded(Digest{{field::P, 0, 0, 0, 0}}), "holds element 0 >= p"},
        {digest_to_hex_padded(Digest{{0, 0, 0, 0, ~uint64_t(0)}}), "holds element 4 >= p"},
    };
    for (const auto& [text, reason] : bad) {
        PowPuzzle q = test_puzzle("q", "b", easy_threshold());
        q.auth_paths.header[1] = text;
        EXPECT_EQ(puzzlePathsError(q), "auth path header[1] " + reason) << text;
    }
}

TEST_F(MiningController, UnreachableBridgeIsAFailure)
{
    const int port = support::closed_port();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool mined = startUnifiedMining("127.0.0.1", port, config);
    const bool named = startUnifiedMining("localhost", port, config);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(mined);
    EXPECT_FALSE(named);
    const std::string where = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(err, "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where +
                       "\n❌ Invalid address: localhost\nFailed to connect to miner bridge at localhost:" +
                       std::to_string(port) + "\n");
    EXPECT_EQ(count_of(out, "Cleaning up GPU memory...\n"), 2u);
    EXPECT_EQ(out.find("fetcher"), std::string::npos);  // no thread started
    EXPECT_EQ(g_corvane_miner_client, nullptr);
}

TEST_F(MiningController, StopIsPromptWithTheProductTimings)
{
    // Product waits: a 10 s receive wait and a 5 s pause must both end on the stop.
    config.fetch_pause = MiningConfig{}.fetch_pause;
    config.receive_timeout_s = MiningConfig{}.receive_timeout_s;
    config.loop_event_wait = MiningConfig{}.loop_event_wait;
    for (const std::string& reply : {std::string(), support::no_puzzle_reply()}) {
        stop_mining = false;
        TestBridge bridge(TestBridge::always(reply));
        const ControllerRun r = run(bridge, [&] {
            bridge.wait_for_line("\"RequestPuzzle\"", 5s);
            std::this_thread::sleep_for(100ms);  // into the wait or the pause
        });
        EXPECT_TRUE(r.mined);
        EXPECT_LT(r.stop_took, 2s) << (reply.empty() ? "receive wait" : "pause");
        EXPECT_NE(r.out.find("🛑 Stop mining event received\n"), std::string::npos) << r.out;
        EXPECT_TRUE(in_order(r.out, "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected from miner bridge\n"));
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    }
}

TEST_F(MiningController, StopBeforeTheQueueExists)
{
    testing::internal::CaptureStdout();
    stop_from_signal(15);
    const std::string before = testing::internal::GetCapturedStdout();
    EXPECT_EQ(before,
              "\nReceived signal 15. Shutting down gracefully...\n\n=== MINING SESSION COMPLETED ===\n"
              "Total solutions found: 0\n");
    TestBridge bridge(TestBridge::always(support::no_puzzle_reply()));
    testing::internal::CaptureStdout();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(startUnifiedMining("127.0.0.1", bridge.port(), config));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(in_order(out, "🔄 Bridge puzzle fetcher started\n", "🔄 Bridge puzzle fetcher stopped\n"));
    EXPECT_EQ(out.find("🛑"), std::string::npos);  // nothing was posted
    EXPECT_EQ(bridge.requests(), 0u);
}

}  // namespace
