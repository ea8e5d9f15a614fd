// Several emulated cards in one miner process (the emulated executable, CRV_EMU_DEVICE_COUNT
// devices): each card's share of the ranges, what reaches every card, and a card that drops out.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::in_order;
using support::test_puzzle;
using support::TestBridge;

const std::string FAST = "tree_height=5 range=256 batch=128 range_pause_ms=1 fetch_pause_ms=20 "
                         "receive_timeout_ms=2000 status_ms=100";

std::unique_ptr<support::ChildProcess> rig_on(const TestBridge& bridge, int devices, const std::string& gpus,
                                              const std::vector<std::string>& env = {}, const std::string& mining = "")
{
    std::vector<std::string> environment = {"CRV_EMU_MINING=" + FAST + mining,
                                            "CRV_EMU_DEVICE_COUNT=" + std::to_string(devices), "CRV_DEBUG=1"};
    environment.insert(environment.end(), env.begin(), env.end());
    return std::make_unique<support::ChildProcess>(
        CRV_MINER_EMU, std::vector<std::string>{"corvane-miner", "--port", std::to_string(bridge.port()), "--gpu", gpus},
        environment);
}

std::string reply(const PowPuzzle& puzzle) { return support::puzzle_reply(puzzle) + "\n"; }

TEST(RigProcess, EachCardSearchesItsOwnRangesAndTheStatusLineCountsEveryCard)
{
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("rig", "b", support::impossible_threshold()))));
    const auto miner = rig_on(bridge, 3, "all");
    // Each card begins its 11th range, card + 10 * 3, once its 10th has all its batches queued.
    for (const std::string line : {"GPU 0: Nonce offset (range index): 30,", "GPU 1: Nonce offset (range index): 31,",
                                   "GPU 2: Nonce offset (range index): 32,"})
        ASSERT_TRUE(miner->wait_for_output(line, 60s)) << miner->out();
    ASSERT_TRUE(miner->wait_for_output("📊 Status: ", 20s)) << miner->out();
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(in_order(r.out, {"🌊 Corvane CUDA Miner - GPUs 0, 1, 2 - Bridge "}));
    std::set<uint64_t> seen;
    for (const auto& [card, ranges] : support::ranges_by_card(r.out)) {
        ASSERT_GE(ranges.size(), 10u) << card;
        for (size_t k = 0; k < ranges.size(); ++k) {
            EXPECT_EQ(ranges[k], card + 3 * k) << "card " << card;
            EXPECT_TRUE(seen.insert(ranges[k]).second) << "range " << ranges[k] << " searched twice";
        }
    }
    EXPECT_EQ(count_of(r.out, "=== STARTING GPU PREPROCESSING ==="), 3u);  // a buffer per card
    for (const std::string card : {"0", "1", "2"})
        EXPECT_GE(count_of(r.out, "GPU " + card + ": No solution found after 256 nonces"), 10u) << card;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(📊 Status: \d+\.\d\d M nonces/s on 3 of 3 GPUs \(GPU 0: \d+\.\d\d, )"
                                                    R"(GPU 1: \d+\.\d\d, GPU 2: \d+\.\d\d\), \d+ candidates, )")))
        << r.out;
}

TEST(RigProcess, ANewBlockReachesEveryCardAndItsRangesStartAgain)
{
    // Block 1 cannot be solved; on block 2 the first batch of any card has a hit.
    const PowPuzzle first = test_puzzle("rig-1", "block-1", support::impossible_threshold(), 1);
    const PowPuzzle second = test_puzzle("rig-2", "block-2", support::easy_threshold(), 1);
    std::atomic<bool> next{false};
    TestBridge bridge([&](size_t) { return reply(next ? second : first); });
    const auto miner = rig_on(bridge, 2, "0,1");
    ASSERT_TRUE(miner->wait_for_output("GPU 1: Nonce offset (range index): 7,", 60s)) << miner->out();
    next = true;
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << miner->out();
    EXPECT_LT(support::check_submission(line, second, 5) / 256, 2u);  // in a first range of the new block
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_TRUE(in_order(r.out, {"\n🔄 New puzzle detected during mining, switching...\n", "🔄 New puzzle: rig-2...\n",
                                 "🔄 New puzzle detected, resetting nonce offset to: 0\n"}))
        << r.out;
    // Each card ended its range of block 1 and started again at its own first range.
    for (const std::string card : {"0", "1"})
        EXPECT_EQ(count_of(r.out, "GPU " + card + ": Nonce offset (range index): " + card + ","), 2u) << r.out;
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);  // one solution for the puzzle
}

TEST(RigProcess, ACardThatCannotBuildOrIsLostLeavesTheOthersMining)
{
    // Card 1 too small for the buffer with a 100 MiB margin; card 1 lost while mining; card 1
    // failing every launch from its 30th on; card 1 of compute capability 7.5; card 1 that cannot be
    // selected on its thread; both cards lost, which ends the process with the no-card status.
    const std::string lost = "an illegal memory access was encountered";
    struct Row {
        int devices;
        std::vector<std::string> env;
        std::string mining;                // more of CRV_EMU_MINING
        std::string wait_for;              // a line of the cards that mine on
        std::vector<std::string> err;      // in order
        std::string status;                // in the status line
        uint64_t stride;                   // between the last ranges of card 2
        int exit_status;
        bool card_1_mines = true;          // before it drops out
    };
    const std::vector<Row> rows = {
        {3, {"CRV_EMU_DEVICE_MEMORY_MB=1024,64,1024"}, " margin_mb=100", "GPU 2: Nonce offset (range index): 21,",
         {"GPU 1: Error: GPU 1 (", "); not building: "}, " on 2 of 3 GPUs (GPU 0: ", 2, 0, false},
        {3, {"CRV_EMU_FAULT=kernel:30:700:1"}, "", "GPU 2: Nonce offset (range index): 41,",
         {"GPU 1: [ERR][sync parallel_mining_kernel] " + lost,
          "GPU 1: ❌ The GPU's context is lost (" + lost + "): this card is left out, 2 of 3 GPUs mine on\n"},
         " on 2 of 3 GPUs (GPU 0: ", 3, 0},  // the lost card's ranges of this puzzle stay unsearched
        {3, {"CRV_EMU_FAULT=launch:30+:999:1"}, "", "GPU 2: Nonce offset (range index): 41,",
         {"GPU 1: [ERR][launch parallel_mining_kernel] unknown error\n",
          "GPU 1: ❌ The GPU failed 3 times in a row (unknown error, at launch parallel_mining_kernel): this card is "
          "left out, 2 of 3 GPUs mine on\n"},
         " on 2 of 3 GPUs (GPU 0: ", 3, 0},
        {3, {"CRV_EMU_DEVICE_CC=8.9,7.5,8.9"}, "", "GPU 2: Nonce offset (range index): 21,",
         {"❌ GPU 1 (Corvane Emulated GPU, compute capability 7.5) is left out: this miner needs compute capability "
          "8.0 or later\n"},
         " on 2 of 2 GPUs (GPU 0: ", 2, 0, false},
        {3, {"CRV_EMU_FAULT=set_device:2:46:1"}, "", "GPU 2: Nonce offset (range index): 21,",
         {"GPU 1: ❌ GPU 1 could not be selected (CUDA-capable device(s) is/are busy or unavailable): this card is "
          "left out, 2 of 3 GPUs mine on\n"},
         " on 2 of 3 GPUs (GPU 0: ", 2, 0, false},
        {2, {"CRV_EMU_FAULT=kernel:30:700:0 kernel:40:700:1"}, "", "",
         {"1 of 2 GPUs mine on\n", "0 of 2 GPUs mine on\n", "stopping with exit status 3 so that the miner can be restarted\n"},
         "", 0, 3}};
    for (const Row& row : rows) {
        TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("rig", "b", support::impossible_threshold()))));
        const auto miner = rig_on(bridge, row.devices, "all", row.env, row.mining);
        if (!row.wait_for.empty()) {
            ASSERT_TRUE(miner->wait_for_output(row.wait_for, 60s)) << miner->out() << miner->err();
            ASSERT_TRUE(miner->wait_for_output(row.status, 20s)) << miner->out();
            miner->send_signal(SIGINT);
        }
        const support::ProcessResult r = miner->wait(30s);
        EXPECT_EQ(r.exit_status, row.exit_status) << r.err;
        EXPECT_TRUE(in_order(r.err, row.err)) << r.err;
        if (row.wait_for.empty()) continue;
        // The cards that mine on go on with their own ranges; a card left out mines nothing, on no device.
        const auto ranges = support::ranges_by_card(r.out);
        EXPECT_EQ(ranges.count(1), row.card_1_mines ? 1u : 0u) << r.out;
        ASSERT_EQ(ranges.count(2), 1u);
        const std::vector<uint64_t>& last = ranges.at(2);
        ASSERT_GE(last.size(), 2u);
        EXPECT_EQ(last.back() - last[last.size() - 2], row.stride);
    }
}

TEST(RigProcess, ARangeBoundaryCostsACardNoWait)
{
    // One puzzle that cannot be solved, in ranges of 1,024: a card's ranges follow one another as
    // its batches do, so their own times fill the wall time between them, on one card or two.
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("duty", "b", support::impossible_threshold()))));
    static const std::regex range_line(R"(No solution found after \d+ nonces \(time: (\d+) ms)");
    for (const auto& [gpus, devices, card] : std::vector<std::tuple<std::string, int, std::string>>{
             {"0", 1, ""}, {"0,1", 2, "GPU 0: "}}) {
        support::ChildProcess miner(CRV_MINER_EMU, {"corvane-miner", "--port", std::to_string(bridge.port()), "--gpu", gpus},
                                    {"CRV_EMU_MINING=tree_height=6 range=1024 fetch_pause_ms=20 receive_timeout_ms=2000",
                                     "CRV_EMU_DEVICE_COUNT=" + std::to_string(devices), "CRV_DEBUG=1"});
        const std::string from = card + "Nonce offset (range index): 4,", to = card + "Nonce offset (range index): 24,";
        ASSERT_TRUE(miner.wait_for_output(from, 60s)) << miner.out();
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(miner.wait_for_output(to, 120s)) << miner.out();
        const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        const std::string out = miner.out();
        const size_t begin = out.find(from), end = out.find(to);
        double ranges_ms = 0;
        std::istringstream lines(out.substr(begin, end - begin));
        std::smatch match;
        int counted = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(card + "No solution", 0) == 0 && std::regex_search(line, match, range_line))
                ranges_ms += std::stod(match[1]), ++counted;
        EXPECT_EQ(counted, devices == 1 ? 20 : 10) << out.substr(begin, end - begin);
        EXPECT_GE(ranges_ms / wall, 0.9) << ranges_ms << " ms of ranges in " << wall << " ms";
    }
}

}  // namespace
