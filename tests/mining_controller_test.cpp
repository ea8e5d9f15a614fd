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

class MiningController : public testing::Test {
protected:
    void SetUp() override
    {
        emu::configure(emu::Config{});
        last_puzzle_id = current_prev_block = "";
        cli_nonce_offset = global_nonce_offset = total_solutions_found = 0;
        config.geometry.tree_height = TREE_HEIGHT;
        config.driver = MiningDriverConfig{256, 128, 1ms, 1ms};
        config.fetch_pause = 20ms;
        config.receive_timeout_s = 2.0f;
    }
    void TearDown() override { stop_mining = false; }

    // Runs the controller against the bridge until `until` returns, then stops it as a signal does.
    support::CapturedOutput run(const TestBridge& bridge, const std::function<void()>& until)
    {
        return support::capture_output([&] {
            auto mining = std::async(std::launch::async, [&] { return startUnifiedMining("127.0.0.1", bridge.port(), config); });
            until();
            const auto t0 = std::chrono::steady_clock::now();
            stop_from_signal(2);
            ASSERT_EQ(mining.wait_for(20s), std::future_status::ready);
            stop_took = std::chrono::steady_clock::now() - t0;
            EXPECT_TRUE(mining.get());
        });
    }

    MiningConfig config;
    std::chrono::steady_clock::duration stop_took{};
};

TEST_F(MiningController, MinesAPuzzleOnceAndShutsDownInOrder)
{
    const PowPuzzle bad = test_puzzle("refused", "block-0", easy_threshold().substr(1) + "z");
    const PowPuzzle puzzle = test_puzzle("first-puzzle-0123456789abcdef", "block-1", easy_threshold());
    TestBridge bridge([&](size_t n) { return puzzle_reply(n < 3 ? bad : puzzle) + "\n"; });
    std::string submission;
    const support::CapturedOutput o = run(bridge, [&] {
        submission = bridge.wait_for_line("\"SubmitSolution\"", 10s);
        bridge.wait_for_lines("\"RequestPuzzle\"", bridge.requests() + 4, 10s);  // the same id again: nothing new
    });
    ASSERT_FALSE(submission.empty()) << o.out << o.err;
    EXPECT_LT(support::check_submission(submission, puzzle, TREE_HEIGHT), config.driver.max_batch_size);  // range 0
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);
    EXPECT_EQ(o.err, "Error: puzzle refused... refused: threshold is not hexadecimal\n");  // once
    for (const char* once : {"🔄 New puzzle detected from bridge! ID: first-puzzle-012...\n", "🔄 New puzzle: first-puzzle-012...\n",
                             "🔄 New puzzle detected, resetting nonce offset to: 0\n", "=== STARTING GPU PREPROCESSING ===",
                             "🎉 Solution found for puzzle! Continuing to mine for more solutions...\n"})
        EXPECT_EQ(count_of(o.out, once), 1u) << once << o.out;
    EXPECT_EQ(o.out.find("🔄 Mining interrupted"), std::string::npos);
    // The stop: the handler's lines, the loop takes the event, the fetcher ends, then the teardown.
    EXPECT_TRUE(in_order(o.out, {"\nReceived signal 2. Shutting down gracefully...\n", "\n=== MINING SESSION COMPLETED ===\n",
                                 "Total solutions found: 1\n"}));
    EXPECT_TRUE(in_order(o.out, {"Received signal 2", "🛑 Stop mining event received\n", "📡 Disconnected from miner bridge\n",
                                 "Cleaning up GPU memory...\n"}));
    EXPECT_TRUE(in_order(o.out, {"Received signal 2", "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected"}));
    EXPECT_TRUE(g_corvane_miner_client == nullptr && current_buffer == nullptr && emu::live_allocations() == 0);
}

TEST_F(MiningController, TheNonceRangeGoesOnOnTheSameBlockAndRestartsOnANewOne)
{
    // Each puzzle is announced once the one before was solved: b on a's block goes on from a's
    // range; c on a new block starts again at the command line's range, and d, on another block,
    // interrupts its search and starts there again too.
    const PowPuzzle a = test_puzzle("puzzle-a", "block-1", easy_threshold(), 1);
    const PowPuzzle b = test_puzzle("puzzle-b", "block-1", easy_threshold(), 2);
    const PowPuzzle c = test_puzzle("puzzle-c", "block-2", support::impossible_threshold(), 3);
    const PowPuzzle d = test_puzzle("puzzle-d", "block-3", easy_threshold(), 4);
    cli_nonce_offset = global_nonce_offset = 4;
    std::atomic<int> stage{0};
    std::atomic<bool> c_served{false};
    TestBridge bridge([&](size_t) { return puzzle_reply(stage == 0 ? a : stage == 1 ? b : !c_served.exchange(true) ? c : d) + "\n"; });
    std::vector<std::string> solutions;
    const support::CapturedOutput o = run(bridge, [&] {
        for (int solved = 1; solved <= 3; stage = solved++) solutions = bridge.wait_for_lines("\"SubmitSolution\"", solved, 20s);
    });
    ASSERT_EQ(solutions.size(), 3u) << o.out;
    const uint64_t range = config.driver.nonces_per_range;
    EXPECT_EQ(support::check_submission(solutions[0], a, TREE_HEIGHT) / range, 4u);
    EXPECT_EQ(support::check_submission(solutions[1], b, TREE_HEIGHT) / range, 5u);
    EXPECT_EQ(support::check_submission(solutions[2], d, TREE_HEIGHT) / range, 4u);
    EXPECT_EQ(count_of(o.out, "🔄 New puzzle detected, resetting nonce offset to: 4\n"), 3u) << o.out;  // a, c, d
    EXPECT_TRUE(in_order(o.out, {"🔄 New puzzle: puzzle-c...\n", "\n🔄 New puzzle detected during mining, switching...\n",
                                 "🔄 Mining interrupted, continuing in main loop...\n", "🔄 New puzzle: puzzle-d...\n"}));
}

TEST_F(MiningController, EveryLineThatArrivedIsHandledInTheSameCycle)
{
    // An answer to something else, then the puzzle, in one segment; left in the buffer, the puzzle
    // would wait for the next cycle, 5 s later.
    config.fetch_pause = MiningConfig{}.fetch_pause;
    const PowPuzzle puzzle = test_puzzle("second-line", "block-1", easy_threshold());
    TestBridge bridge(TestBridge::always("{\"msg_type\":\"solution_ack\"}\n" + puzzle_reply(puzzle)));
    const auto o = run(bridge, [&] { EXPECT_FALSE(bridge.wait_for_line("\"SubmitSolution\"", 4s).empty()); });
    EXPECT_TRUE(in_order(o.out, {"📥 Message type: solution_ack\n", "🔄 New puzzle: second-line...\n"}));
}

TEST_F(MiningController, StopsPromptlyInTheProductWaitsAndWithoutABridge)
{
    config = MiningConfig{};  // a 10 s receive wait and a 5 s pause: both end on the stop
    for (const bool answers : {false, true}) {
        TestBridge bridge(answers ? TestBridge::always(support::no_puzzle_reply()) : TestBridge::Script());
        const auto o = run(bridge, [&] { bridge.wait_for_line("\"RequestPuzzle\"", 5s); });
        EXPECT_LT(stop_took, 2s) << (answers ? "pause" : "receive wait");
        EXPECT_TRUE(in_order(o.out, {"🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected from miner bridge\n"}));
        EXPECT_EQ(o.err, "");  // a woken receive reports nothing
        stop_mining = false;
    }
    const int port = support::closed_port();
    const auto o = support::capture_output([&] {
        EXPECT_FALSE(startUnifiedMining("127.0.0.1", port, config));
        EXPECT_FALSE(startUnifiedMining("localhost", port, config));
    });
    const std::string where = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(o.err, "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where +
                         "\n❌ Invalid address: localhost\nFailed to connect to miner bridge at localhost:" + std::to_string(port) + "\n");
    EXPECT_EQ(count_of(o.out, "Cleaning up GPU memory...\n"), 2u);
    EXPECT_EQ(o.out.find("fetcher"), std::string::npos);  // no thread started

    // A stop before the queue exists posts nothing: the loop returns at once, the fetcher never asks.
    event_handler.reset();
    EXPECT_EQ(support::capture_output([] { stop_from_signal(15); }).out,
              "\nReceived signal 15. Shutting down gracefully...\n\n=== MINING SESSION COMPLETED ===\nTotal solutions found: 0\n");
    TestBridge bridge;
    const auto stopped = support::capture_output([&] { EXPECT_TRUE(startUnifiedMining("127.0.0.1", bridge.port(), config)); });
    EXPECT_TRUE(in_order(stopped.out, {"🔄 Bridge puzzle fetcher started\n", "🔄 Bridge puzzle fetcher stopped\n"}));
    EXPECT_EQ(stopped.out.find("🛑"), std::string::npos);
    EXPECT_EQ(bridge.requests(), 0u);
}

}  // namespace
