// The controller against a test bridge on loopback: fetcher, mining loop, driver and shutdown.
#include <gtest/gtest.h>

#include <future>

#include "bridge/client.h"
#include "gpu/runtime.h"
#include "miner/mining_controller.h"
#include "miner/shared_state.h"
#include "miner/stop_signal.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::easy_threshold;
using support::in_order;
using support::puzzle_reply;
using support::test_puzzle;
using support::TestBridge;
constexpr uint64_t TREE_HEIGHT = 5;

struct ControllerRun {
    bool mined = false;
    std::string out, err;
    std::chrono::steady_clock::duration stop_took{};
};

class MiningController : public testing::Test {
protected:
    void SetUp() override
    {
        emu::configure(emu::Config{});
        stop_mining = false;
        last_puzzle_id.clear();
        current_prev_block.clear();
        cli_nonce_offset = global_nonce_offset = 0;
        total_solutions_found = 0;
        config.geometry.tree_height = TREE_HEIGHT;
        config.driver = MiningDriverConfig{256, 128, 1ms, 1ms};
        config.fetch_pause = 20ms;
        config.receive_timeout_s = 2.0f;
    }
    void TearDown() override { stop_mining = false; }

    // Runs the controller against the bridge until `until` returns, then stops it as a signal does.
    ControllerRun run(const TestBridge& bridge, const std::function<void()>& until)
    {
        ControllerRun r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        auto mining = std::async(std::launch::async, [&] { return startUnifiedMining("127.0.0.1", bridge.port(), config); });
        until();
        const auto t0 = std::chrono::steady_clock::now();
        stop_from_signal(2);
        EXPECT_EQ(mining.wait_for(20s), std::future_status::ready);
        r.stop_took = std::chrono::steady_clock::now() - t0;
        r.mined = mining.get();
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        return r;
    }

    MiningConfig config;
};

TEST_F(MiningController, MinesAPuzzleOnceAndShutsDownInOrder)
{
    const PowPuzzle bad = test_puzzle("refused", "block-0", easy_threshold().substr(1) + "z");
    const PowPuzzle puzzle = test_puzzle("first-puzzle-0123456789abcdef", "block-1", easy_threshold());
    TestBridge bridge([&](size_t n) { return puzzle_reply(n < 3 ? bad : puzzle); });
    std::string submission;
    const ControllerRun r = run(bridge, [&] {
        submission = bridge.wait_for_line("\"SubmitSolution\"", 10s);
        const size_t polls = bridge.requests() + 4;  // the same id again and again: nothing new
        bridge.wait_for_lines("\"RequestPuzzle\"", polls, 10s);
    });
    EXPECT_TRUE(r.mined);
    ASSERT_FALSE(submission.empty());
    EXPECT_LT(support::check_submission(submission, puzzle, TREE_HEIGHT), config.driver.max_batch_size);  // range 0
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);
    EXPECT_EQ(count_of(r.err, "Error: puzzle refused... refused: threshold is not hexadecimal\n"), 1u) << r.err;
    for (const char* once : {"🔄 New puzzle detected from bridge! ID: first-puzzle-012...\n", "🔄 New puzzle: first-puzzle-012...\n",
                             "🔄 New puzzle detected, resetting nonce offset to: 0\n", "=== STARTING GPU PREPROCESSING ===",
                             "🎉 Solution found for puzzle! Continuing to mine for more solutions...\n"})
        EXPECT_EQ(count_of(r.out, once), 1u) << once << r.out;
    EXPECT_EQ(r.out.find("🔄 Mining interrupted"), std::string::npos);
    // The stop: the handler's lines, the loop takes the event, the fetcher ends, then the teardown.
    EXPECT_TRUE(in_order(r.out, {"✅ Connected to miner bridge at 127.0.0.1:", "🔄 Bridge puzzle fetcher started",
                                 "\nReceived signal 2. Shutting down gracefully...\n", "\n=== MINING SESSION COMPLETED ===\n",
                                 "Total solutions found: 1\n"}));
    EXPECT_TRUE(in_order(r.out, {"Received signal 2", "🛑 Stop mining event received\n", "📡 Disconnected from miner bridge\n",
                                 "Cleaning up GPU memory...\n"}));
    EXPECT_TRUE(in_order(r.out, {"Received signal 2", "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected from miner bridge\n"}));
    EXPECT_EQ(g_corvane_miner_client, nullptr);
    EXPECT_EQ(current_buffer, nullptr);
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST_F(MiningController, EveryLineThatArrivedIsHandledInTheSameCycle)
{
    // An answer to something else, then the puzzle, in one segment; left in the buffer, the puzzle
    // would wait for the next cycle, 5 s later.
    config.fetch_pause = MiningConfig{}.fetch_pause;
    const PowPuzzle puzzle = test_puzzle("second-line", "block-1", easy_threshold());
    TestBridge bridge(TestBridge::always("{\"msg_type\":\"solution_ack\"}\n" + puzzle_reply(puzzle)));
    const ControllerRun r = run(bridge, [&] { EXPECT_FALSE(bridge.wait_for_line("\"SubmitSolution\"", 4s).empty()); });
    EXPECT_TRUE(in_order(r.out, {"📥 Message type: solution_ack\n", "🔄 New puzzle: second-line...\n"}));
}

TEST_F(MiningController, TheNonceRangeGoesOnOnTheSameBlockAndRestartsOnANewOne)
{
    // Each puzzle is announced once the previous one was solved: b on a's block goes on from a's
    // range; c on a new block starts again at the command line's range, and d, on another block,
    // interrupts its search and starts there again too.
    const PowPuzzle a = test_puzzle("puzzle-a", "block-1", easy_threshold(), 1);
    const PowPuzzle b = test_puzzle("puzzle-b", "block-1", easy_threshold(), 2);
    const PowPuzzle c = test_puzzle("puzzle-c", "block-2", support::impossible_threshold(), 3);
    const PowPuzzle d = test_puzzle("puzzle-d", "block-3", easy_threshold(), 4);
    cli_nonce_offset = global_nonce_offset = 4;
    std::atomic<int> stage{0};
    std::atomic<bool> c_served{false};
    TestBridge bridge([&](size_t) {
        return puzzle_reply(stage == 0 ? a : stage == 1 ? b : !c_served.exchange(true) ? c : d);
    });
    std::vector<std::string> solutions;
    const ControllerRun r = run(bridge, [&] {
        for (int solved = 1; solved <= 3; ++solved) {
            solutions = bridge.wait_for_lines("\"SubmitSolution\"", solved, 20s);
            stage = solved;
        }
    });
    ASSERT_EQ(solutions.size(), 3u) << r.out;
    const uint64_t range = config.driver.nonces_per_range;
    EXPECT_EQ(support::check_submission(solutions[0], a, TREE_HEIGHT) / range, 4u);
    EXPECT_EQ(support::check_submission(solutions[1], b, TREE_HEIGHT) / range, 5u);
    EXPECT_EQ(support::check_submission(solutions[2], d, TREE_HEIGHT) / range, 4u);
    EXPECT_EQ(count_of(r.out, "🔄 New puzzle detected, resetting nonce offset to: 4\n"), 3u) << r.out;  // a, c, d
    EXPECT_TRUE(in_order(r.out, {"🔄 New puzzle: puzzle-c...\n", "\n🔄 New puzzle detected during mining, switching...\n",
                                 "🔄 Mining interrupted, continuing in main loop...\n", "🔄 New puzzle: puzzle-d...\n"}));
}

TEST_F(MiningController, StopsPromptlyWithTheProductTimingsAndWithoutABridge)
{
    // Product waits: a 10 s receive and a 5 s pause must both end on the stop.
    config.fetch_pause = MiningConfig{}.fetch_pause;
    config.receive_timeout_s = MiningConfig{}.receive_timeout_s;
    config.loop_event_wait = MiningConfig{}.loop_event_wait;
    for (const std::string& reply : {std::string(), support::no_puzzle_reply()}) {
        stop_mining = false;
        TestBridge bridge(TestBridge::always(reply));
        const ControllerRun r = run(bridge, [&] { bridge.wait_for_line("\"RequestPuzzle\"", 5s); });
        EXPECT_TRUE(r.mined);
        EXPECT_LT(r.stop_took, 2s) << (reply.empty() ? "receive wait" : "pause");
        EXPECT_TRUE(in_order(r.out, {"🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected from miner bridge\n"}));
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    }

    const int port = support::closed_port();
    const support::CapturedOutput o = support::capture_output([&] {
        EXPECT_FALSE(startUnifiedMining("127.0.0.1", port, config));
        EXPECT_FALSE(startUnifiedMining("localhost", port, config));
    });
    const std::string where = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(o.err, "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where +
                         "\n❌ Invalid address: localhost\nFailed to connect to miner bridge at localhost:" + std::to_string(port) + "\n");
    EXPECT_EQ(count_of(o.out, "Cleaning up GPU memory...\n"), 2u);
    EXPECT_EQ(o.out.find("fetcher"), std::string::npos);  // no thread started
}

TEST_F(MiningController, AStopBeforeTheQueueExistsPostsNothing)
{
    event_handler.reset();
    support::CapturedOutput o = support::capture_output([] { stop_from_signal(15); });
    EXPECT_EQ(o.out, "\nReceived signal 15. Shutting down gracefully...\n\n=== MINING SESSION COMPLETED ===\nTotal solutions found: 0\n");
    TestBridge bridge(TestBridge::always(support::no_puzzle_reply()));
    o = support::capture_output([&] { EXPECT_TRUE(startUnifiedMining("127.0.0.1", bridge.port(), config)); });
    EXPECT_TRUE(in_order(o.out, {"🔄 Bridge puzzle fetcher started\n", "🔄 Bridge puzzle fetcher stopped\n"}));
    EXPECT_EQ(o.out.find("🛑"), std::string::npos);  // nothing was posted
    EXPECT_EQ(bridge.requests(), 0u);
}

}  // namespace
