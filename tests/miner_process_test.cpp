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
using support::ChildProcess;
using support::ProcessResult;
using support::TestBridge;

const std::string MINER = CRV_MINER_EMU;
// A small tree and short waits for the emulated executable (the product has no such input).
const std::string SMALL = "CRV_EMU_MINING=tree_height=4 range=64 batch=32 fetch_pause_ms=50 receive_timeout_ms=2000";

ProcessResult miner(const std::vector<std::string>& args, const std::string& devices = "CRV_EMU_DEVICE_COUNT=1")
{
    std::vector<std::string> argv = {"corvane-miner"};
    argv.insert(argv.end(), args.begin(), args.end());
    return support::run_process(MINER, argv, {"CRV_DEBUG", "CRV_EMU_MINING", devices}, 30s);
}

std::unique_ptr<ChildProcess> mining(const TestBridge& bridge, std::vector<std::string> args, const std::vector<std::string>& env)
{
    args.insert(args.begin(), {"corvane-miner", "--port", std::to_string(bridge.port())});
    return std::make_unique<ChildProcess>(MINER, args, env);
}

TEST(MinerProcess, StartUpEndsWithItsStatus)
{
    const std::string none = "CRV_EMU_DEVICE_COUNT=0";  // any device check would show
    ProcessResult r = miner({"--help", "--gpu", "-1"}, none);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, helpText("corvane-miner"));
    const int port = support::closed_port();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases = {  // args, devices, error
        {{"--gpu", "-1", "--help"}, none, "Invalid --gpu value: -1 (must be >= 0)\n"},
        {{"--nonce-offset", "18446744073709551616"}, none, "Invalid --nonce-offset value: 18446744073709551616 (stoull)\n"},
        {{"--port", "x", "--test"}, none, "Invalid --port value: x (stoi)\n"},
        {{}, none, "❌ Error: No CUDA devices found!\n"},
        {{"--gpu", "5"}, "CRV_EMU_DEVICE_COUNT=2", "❌ Error: GPU 5 not found!\n   Available GPUs: 0 to 1\n"},
        {{"--port", std::to_string(port), "--gpu", "1.9", "--port=6000"}, "CRV_EMU_DEVICE_COUNT=2",
         "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where + "\n"}};
    for (const auto& [args, devices, err] : cases) {
        r = miner(args, devices);
        EXPECT_EQ(r.exit_status, 1) << err;
        EXPECT_EQ(r.err, err);
    }
    EXPECT_EQ(r.out.rfind("🌊 Corvane CUDA Miner - GPU 1 - Bridge " + where + "\n", 0), 0u) << r.out;
    // The test mode sees the GPU index given before --test only.
    EXPECT_NE(miner({"--gpu", "1", "--test"}).err.find("❌ Error: GPU 1 not found!"), std::string::npos);
    EXPECT_EQ(miner({"--test", "--gpu", "1"}).err.find("GPU 1"), std::string::npos);
}

TEST(MinerProcess, MinesFromTheBridgeAndStopsOnASignal)
{
    const PowPuzzle puzzle = support::test_puzzle("process-puzzle", "block-1", support::easy_threshold());
    TestBridge bridge(TestBridge::always(support::puzzle_reply(puzzle)));
    const auto child = mining(bridge, {"--nonce-offset", "0x10"}, {SMALL, "CRV_DEBUG=1"});
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << child->out() << child->err();
    EXPECT_EQ(support::check_submission(line, puzzle, 4) / 64, 16u);  // range 16 of 64 counters
    EXPECT_TRUE(child->wait_for_output("🎉 Solution found for puzzle! Continuing to mine for more solutions...\n", 20s));
    child->send_signal(SIGINT);
    const ProcessResult r = child->wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    for (const char* part : {"🔄 New puzzle detected, resetting nonce offset to: 16\n", "Max nonces: 64, Batch size: 32\n",
                             "Nonce offset (range index): 16, computed start nonce: 1024\n",
                             "Occupancy: blocks/SM=6, active warps/SM=48/48 (100.0%)\n", "Total solutions found: 1\n"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << r.out;
}

TEST(MinerProcess, SignalsWhileTheBridgeHasNoWork)
{
    // Product timings: the stop must not wait for the 5 s pause or a 10 s receive.
    for (const int signal_number : {SIGINT, SIGTERM}) {
        TestBridge bridge(TestBridge::always(support::no_puzzle_reply()));
        const auto child = mining(bridge, {}, {"CRV_EMU_DEVICE_COUNT=1", "CRV_EMU_MINING", "CRV_DEBUG"});
        ASSERT_TRUE(child->wait_for_output("❌ Bridge error: No puzzle available\n", 20s)) << child->out() << child->err();
        const auto t0 = std::chrono::steady_clock::now();
        child->send_signal(signal_number);
        const ProcessResult r = child->wait(20s);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        EXPECT_EQ(r.exit_status, 0);
        const std::string received = "\nReceived signal " + std::to_string(signal_number) + ". Shutting down gracefully...\n";
        EXPECT_TRUE(support::in_order(r.out, {received, "\n=== MINING SESSION COMPLETED ===\n", "Total solutions found: 0\n"}));
        EXPECT_TRUE(support::in_order(r.out, {received, "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory...\n"}));
        EXPECT_NE(r.out.find("🔄 Bridge puzzle fetcher stopped\n"), std::string::npos);
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    }

    // A second signal during the shutdown ends the process at once: here while a long batch runs.
    const PowPuzzle puzzle = support::test_puzzle("busy-puzzle", "block-1", support::impossible_threshold());
    TestBridge bridge(TestBridge::always(support::puzzle_reply(puzzle)));
    const auto child = mining(bridge, {}, {"CRV_EMU_MINING=tree_height=4 range=1000000 batch=2048", "CRV_EMU_DEVICE_COUNT=1", "CRV_DEBUG=1"});
    ASSERT_TRUE(child->wait_for_output("Occupancy: ", 20s)) << child->out();
    child->send_signal(SIGINT);
    ASSERT_TRUE(child->wait_for_output("Received signal 2. Shutting down gracefully...\n", 5s)) << child->out();
    child->send_signal(SIGTERM);
    const auto t0 = std::chrono::steady_clock::now();
    const ProcessResult r = child->wait(20s);
    EXPECT_EQ(r.exit_status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(r.out.find("No solution found after"), std::string::npos);  // before the batch in flight ended
}

}  // namespace
