// The whole program through the emulated executable: exit statuses, signals, and a puzzle mined
// against a test bridge.
#include <gtest/gtest.h>

#include <signal.h>

#include "cli/options.h"
#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
const std::string MINER = CRV_MINER_EMU;

TEST(MinerProcess, StartUpEndsWithItsStatus)
{
    const std::string where = "127.0.0.1:" + std::to_string(support::closed_port());
    const std::vector<std::tuple<std::vector<std::string>, int, int, std::string>> cases = {  // args, devices, status, err
        {{"--help", "--gpu", "-1"}, 0, 0, ""},  // no device: any device check would show
        {{"--gpu", "-1", "--help"}, 0, 1, "Invalid --gpu value: -1 (must be >= 0)\n"},
        {{"--port", "x", "--test"}, 0, 1, "Invalid --port value: x (stoi)\n"},
        {{}, 0, 1, "❌ Error: No CUDA devices found!\n"},
        {{"--gpu", "5"}, 2, 1, "❌ Error: GPU 5 not found!\n   Available GPUs: 0 to 1\n"},
        {{"--gpu", "1", "--test"}, 1, 255, "❌ Error: GPU 1 not found!\n   Available GPUs: 0 to 0\n"},
        {{"--port", where.substr(10), "--gpu", "1.9", "--port=6000"}, 2, 1,
         "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where + "\n"}};
    support::ProcessResult r;
    for (const auto& [args, devices, status, err] : cases) {
        std::vector<std::string> argv = {"corvane-miner"};
        argv.insert(argv.end(), args.begin(), args.end());
        r = support::run_process(MINER, argv, {"CRV_DEBUG", "CRV_EMU_DEVICE_COUNT=" + std::to_string(devices)}, 30s);
        EXPECT_EQ(r.exit_status, status) << err;
        EXPECT_EQ(r.err, err);
        if (status == 0) EXPECT_EQ(r.out, helpText("corvane-miner"));
    }
    EXPECT_EQ(r.out.rfind("🌊 Corvane CUDA Miner - GPU 1 - Bridge " + where + "\n", 0), 0u) << r.out;
    EXPECT_EQ(support::run_process(MINER, {"m", "--test", "--gpu", "1"}).err.find("GPU 1"), std::string::npos);
}

// The miner against `bridge`, its tree and ranges shrunk through the emulated executable's input.
std::unique_ptr<support::ChildProcess> miner_on(const support::TestBridge& bridge, const std::string& mining)
{
    return std::make_unique<support::ChildProcess>(
        MINER, std::vector<std::string>{"corvane-miner", "--port", std::to_string(bridge.port()), "--nonce-offset", "0x10"},
        std::vector<std::string>{"CRV_EMU_MINING=" + mining, "CRV_EMU_DEVICE_COUNT=1", "CRV_DEBUG=1"});
}

TEST(MinerProcess, MinesFromTheBridgeAndAStopIsPrompt)
{
    const PowPuzzle puzzle = support::test_puzzle("process-puzzle", "block-1", support::easy_threshold());
    support::TestBridge bridge(support::TestBridge::always(support::puzzle_reply(puzzle)));
    const auto miner = miner_on(bridge, "tree_height=4 range=64 batch=32");  // the product's 5 s pause, 10 s receive
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << miner->out() << miner->err();
    EXPECT_EQ(support::check_submission(line, puzzle, 4) / 64, 16u);  // range 16 of 64 counters
    ASSERT_TRUE(miner->wait_for_output("🎉 Solution found for puzzle! Continuing to mine for more solutions...\n", 20s));
    const auto t0 = std::chrono::steady_clock::now();
    miner->send_signal(SIGTERM);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(support::in_order(r.out, {"Max nonces: 64, Batch size: 32\n", "Nonce offset (range index): 16, computed start "
                                          "nonce: 1024\n", "Occupancy: blocks/SM=6, active warps/SM=48/48 (100.0%)\n",
                                          "Received signal 15. Shutting down gracefully...\n", "Total solutions found: 1\n"}));
    EXPECT_TRUE(support::in_order(r.out, {"Received signal 15", "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory"}));
}

TEST(MinerProcess, ASecondSignalEndsTheShutdownAtOnce)
{
    // The second signal comes while a batch of 2048 candidates keeps the emulated GPU busy.
    const PowPuzzle puzzle = support::test_puzzle("busy", "block-1", support::impossible_threshold());
    support::TestBridge bridge(support::TestBridge::always(support::puzzle_reply(puzzle)));
    const auto miner = miner_on(bridge, "tree_height=4 range=1000000 batch=2048");
    ASSERT_TRUE(miner->wait_for_output("Occupancy: ", 20s)) << miner->out();
    miner->send_signal(SIGINT);
    ASSERT_TRUE(miner->wait_for_output("Received signal 2. Shutting down gracefully...\n", 5s)) << miner->out();
    const auto t0 = std::chrono::steady_clock::now();
    miner->send_signal(SIGTERM);
    EXPECT_EQ(miner->wait(20s).exit_status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(miner->out().find("No solution found after"), std::string::npos);  // before the batch in flight ended
}

}  // namespace
