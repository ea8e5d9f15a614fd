// The whole program through the emulated executable: options, exit statuses, signals, and a
// puzzle mined against a test bridge.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/options.h"
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

ProcessResult miner(const std::vector<std::string>& args, const std::vector<std::string>& environment = {})
{
    std::vector<std::string> argv = {"corvane-miner"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"CRV_DEBUG", "CRV_EMU_MINING", "CRV_EMU_DEVICE_COUNT=1"};
    env.insert(env.end(), environment.begin(), environment.end());
    return support::run_process(MINER, argv, env, 30s);
}

testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& parts)
{
    size_t at = 0;
    for (const std::string& part : parts) {
        const size_t found = text.find(part, at);
        if (found == std::string::npos) return testing::AssertionFailure() << "'" << part << "' missing in order in:\n" << text;
        at = found + part.size();
    }
    return testing::AssertionSuccess();
}

class MinerProcess : public testing::Test {
protected:
    void SetUp() override
    {
        if (MINER.empty()) GTEST_SKIP() << "the emulated executable is not built";
    }
};

TEST_F(MinerProcess, HelpAndOptionErrorsEndBeforeAnyDeviceCheck)
{
    // No device: any device check would show.
    const std::string none = "CRV_EMU_DEVICE_COUNT=0";
    ProcessResult r = miner({"--help", "--gpu", "-1"}, {none});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, helpText("corvane-miner"));
    EXPECT_EQ(r.err, "");

    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{"--gpu", "-1", "--help"}, "Invalid --gpu value: -1 (must be >= 0)\n"},
        {{"--gpu", "x"}, "Invalid --gpu value: x (stoi)\n"},
        {{"--gpu", "2147483648"}, "Invalid --gpu value: 2147483648 (stoi)\n"},
        {{"--nonce-offset", "18446744073709551616"}, "Invalid --nonce-offset value: 18446744073709551616 (stoull)\n"},
        {{"--port", "70000"}, "Invalid --port value: 70000 (out of range)\n"},
        {{"--port", "-1"}, "Invalid --port value: -1 (out of range)\n"},
        {{"--port", "x", "--test"}, "Invalid --port value: x (stoi)\n"},
    };
    for (const auto& [args, line] : errors) {
        r = miner(args, {none});
        EXPECT_EQ(r.exit_status, 1) << line;
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.out, "") << line;
    }
}

TEST_F(MinerProcess, DeviceChecksAndTheBanner)
{
    const int port = support::closed_port();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    ProcessResult r = miner({"--port", std::to_string(port)}, {"CRV_EMU_DEVICE_COUNT=0"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "❌ Error: No CUDA devices found!\n");
    EXPECT_EQ(r.out, "");

    r = miner({"--gpu", "5"}, {"CRV_EMU_DEVICE_COUNT=2"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "❌ Error: GPU 5 not found!\n   Available GPUs: 0 to 1\n");

    // 1.9 reads as 1; ignored words change nothing; the unreachable bridge is a failure.
    r = miner({"--port", std::to_string(port), "--gpu", "1.9", "-h", "--verbose", "--port=6000", "stray"},
              {"CRV_EMU_DEVICE_COUNT=2"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(in_order(r.out, {"🌊 Corvane CUDA Miner - GPU 1 - Bridge " + where + "\n", "Cleaning up GPU memory...\n"}));
    EXPECT_EQ(r.err, "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where + "\n");
}

TEST_F(MinerProcess, TestModeSeesOnlyTheIndexBeforeIt)
{
    // GPU 1 does not exist: the test mode reports it; after --test the index is never read and the
    // test runs on GPU 0 (where the product tree does not fit the emulated device).
    ProcessResult r = miner({"--gpu", "1", "--test"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("GPU 1 not found"), std::string::npos) << r.err;
    r = miner({"--test", "--gpu", "1", "--port", "x"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_EQ(r.err.find("GPU 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("✗ GPU preprocessing failed!"), std::string::npos) << r.err;
}

TEST_F(MinerProcess, NonceOffsetTextsAndTheDebugReports)
{
    const PowPuzzle puzzle = support::test_puzzle("offset-puzzle", "block-1", support::impossible_threshold());
    for (const auto& [text, value] : std::vector<std::pair<std::string, std::string>>{
             {"0x10", "16"}, {"010", "8"}, {"-1", "18446744073709551615"}}) {
        TestBridge bridge(TestBridge::always(support::puzzle_reply(puzzle)));
        ChildProcess child(MINER, {"corvane-miner", "--port", std::to_string(bridge.port()), "--nonce-offset", text},
                           {SMALL, "CRV_EMU_DEVICE_COUNT=1", text == "0x10" ? "CRV_DEBUG=1" : "CRV_DEBUG"});
        const std::string reset = "🔄 New puzzle detected, resetting nonce offset to: " + value + "\n";
        EXPECT_TRUE(child.wait_for_output(text == "0x10" ? "Occupancy: " : reset, 20s)) << child.out() << child.err();
        child.send_signal(SIGINT);
        const ProcessResult r = child.wait(20s);
        EXPECT_EQ(r.exit_status, 0) << text;
        EXPECT_NE(r.out.find(reset), std::string::npos) << r.out;
        if (text == "0x10") {
            // The driver's start and occupancy reports (default virtual device: 6 blocks of 256
            // threads on each 1536-thread multiprocessor).
            const std::string target = "Target: 0x0\n";
            EXPECT_TRUE(in_order(r.out, {"Starting GPU-parallelized POW mining...\n", target,
                                         "Max nonces: 64, Batch size: 32\n",
                                         "Nonce offset (range index): 16, computed start nonce: 1024\n",
                                         "Occupancy: blocks/SM=6, active warps/SM=48/48 (100.0%)\n"}));
        } else {
            EXPECT_EQ(r.out.find("Starting GPU-parallelized"), std::string::npos);
        }
    }
}

TEST_F(MinerProcess, MinesAPuzzleFromTheBridge)
{
    const PowPuzzle puzzle = support::test_puzzle("process-puzzle", "block-1", support::easy_threshold());
    TestBridge bridge(TestBridge::always(support::puzzle_reply(puzzle)));
    ChildProcess child(MINER, {"corvane-miner", "--port", std::to_string(bridge.port())},
                       {SMALL, "CRV_EMU_DEVICE_COUNT=1", "CRV_DEBUG"});
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << child.out();
    support::check_submission(line, puzzle, 4);
    EXPECT_TRUE(child.wait_for_output("🎉 Solution found for puzzle! Continuing to mine for more solutions...\n", 20s));
    child.send_signal(SIGINT);
    const ProcessResult r = child.wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("Total solutions found: 1\n"), std::string::npos) << r.out;
}

TEST_F(MinerProcess, InterruptWhileTheBridgeHasNoPuzzle)
{
    // Product timings: the stop must not wait for the 5 s pause or a 10 s receive.
    for (const int signal_number : {SIGINT, SIGTERM}) {
        TestBridge bridge(TestBridge::always(support::no_puzzle_reply()));
        ChildProcess child(MINER, {"corvane-miner", "--port", std::to_string(bridge.port())},
                           {"CRV_EMU_DEVICE_COUNT=1", "CRV_EMU_MINING", "CRV_DEBUG"});
        ASSERT_TRUE(child.wait_for_output("❌ Bridge error: No puzzle available\n", 20s)) << child.out() << child.err();
        // The mining loop takes the stop event only once it waits for events (a signal before that
        // finds the flag set and ends without the line).
        std::this_thread::sleep_for(300ms);
        const auto t0 = std::chrono::steady_clock::now();
        child.send_signal(signal_number);
        const ProcessResult r = child.wait(20s);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_status, 0);
        const std::string n = std::to_string(signal_number);
        EXPECT_TRUE(in_order(r.out, {"\nReceived signal " + n + ". Shutting down gracefully...\n",
                                     "\n=== MINING SESSION COMPLETED ===\n", "Total solutions found: 0\n"}));
        EXPECT_TRUE(in_order(r.out, {"Received signal " + n, "🛑 Stop mining event received\n",
                                     "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory...\n"}));
        EXPECT_TRUE(in_order(r.out, {"Received signal " + n, "🔄 Bridge puzzle fetcher stopped\n",
                                     "📡 Disconnected from miner bridge\n"}));
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    }
}

TEST_F(MinerProcess, ASecondSignalEndsTheShutdownAtOnce)
{
    // One batch of 2048 candidates keeps the emulated GPU busy for seconds after the first signal.
    const PowPuzzle puzzle = support::test_puzzle("busy-puzzle", "block-1", support::impossible_threshold());
    TestBridge bridge(TestBridge::always(support::puzzle_reply(puzzle)));
    ChildProcess child(MINER, {"corvane-miner", "--port", std::to_string(bridge.port())},
                       {"CRV_EMU_MINING=tree_height=4 range=1000000 batch=2048 fetch_pause_ms=50",
                        "CRV_EMU_DEVICE_COUNT=1", "CRV_DEBUG"});
    ASSERT_TRUE(child.wait_for_output("Target: 0x", 20s)) << child.out();
    std::this_thread::sleep_for(50ms);
    child.send_signal(SIGINT);
    if (!child.wait_for_output("Received signal 2. Shutting down gracefully...\n", 5s)) {
        const ProcessResult early = child.wait(5s);
        FAIL() << "status " << early.exit_status << " signal " << early.term_signal << "\n" << early.out << early.err;
    }
    const auto t0 = std::chrono::steady_clock::now();
    child.send_signal(SIGTERM);
    const ProcessResult r = child.wait(20s);
    EXPECT_EQ(r.exit_status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(r.out.find("No solution found after"), std::string::npos);  // before the batch in flight ended
}

}  // namespace
