// The bench mode through the emulated executable: it builds the buffer, mines for its time, checks
// every hit on the host and ends with the status its hits earned.
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "support/captured_output.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;

// A tree of height 5, a calibration of 300 ms, then a hit expected every 150 ms: many in 3 s.
const std::string QUICK =
    "CRV_EMU_MINING=tree_height=5 range=256 batch=128 bench_calibration_ms=300 bench_hit_ms=150 chunk=8";

TEST(BenchProcess, MinesForItsTimeAndEveryHitIsCheckedOnTheHost)
{
    const std::vector<std::tuple<std::vector<std::string>, std::string, int, std::string>> cases = {
        // options, emulator fault, exit status, the rate line's end (the emulator has room: auto stores)
        // A fault aimed at device 1 never fires on the one device 0.
        {{"--seconds", "3"}, "kernel:1:700:1", 0, " M permutations/s (102 per candidate, kernel fast, leaves stored)\n"},
        // Half the leaves stored (chunks of 8 of the 32), the others built: every hit still holds.
        {{"--seconds", "3", "--leaves", "partial:0.5"}, "", 0,
         " M permutations/s (165 per candidate, kernel fast, leaves partial 50%)\n"},
        // Every path copied back arrives with a flipped bit, as from a failing card: no hit holds.
        {{"--kernel", "reference", "--seconds", "3", "--leaves", "computed"}, "corrupt:1000", 1,
         " M permutations/s (236 per candidate, kernel reference, leaves computed)\n"}};
    for (const auto& [options, fault, status, rate] : cases) {
        std::vector<std::string> argv = {"corvane-miner", "--bench"};
        argv.insert(argv.end(), options.begin(), options.end());
        const support::ProcessResult r =
            support::run_process(CRV_MINER_EMU, argv, {QUICK, "CRV_EMU_DEVICE_COUNT=1", "CRV_EMU_FAULT=" + fault}, 60s);
        EXPECT_EQ(r.exit_status, status) << r.out << r.err;
        std::smatch mined, hits;
        ASSERT_TRUE(std::regex_search(r.out, mined, std::regex("\nBench mining: ([0-9.]+) s, ([0-9]+) candidates\n")))
            << r.out;
        EXPECT_GE(std::stod(mined[1]), 3.0);
        EXPECT_GT(std::stoull(mined[2]), 0u);
        EXPECT_NE(r.out.find(rate), std::string::npos) << r.out;
        ASSERT_TRUE(std::regex_search(r.out, hits, std::regex("\nBench hits: ([0-9]+) verified, ([0-9]+) failed")));
        const uint64_t verified = std::stoull(hits[1]), failed = std::stoull(hits[2]);
        EXPECT_GE(status == 0 ? verified : failed, 1u) << r.out;
        EXPECT_EQ(status == 0 ? failed : verified, 0u) << r.err;
        EXPECT_EQ(count_of(r.out, " verified on the host\n"), verified);
        EXPECT_EQ(count_of(r.err, " failed verification (path_a does not lead to the root)\n"), failed);
    }
}

TEST(BenchProcess, SeveralCardsBenchSideBySideAndTheTotalSumsThem)
{
    const support::ProcessResult r = support::run_process(
        CRV_MINER_EMU, {"corvane-miner", "--bench", "--gpu", "all", "--seconds", "2"},
        {QUICK, "CRV_EMU_DEVICE_COUNT=2", "CRV_EMU_FAULT="}, 60s);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::regex rate("\nGPU ([01]): Bench rate: ([0-9.]+) M candidates/s, ([0-9.]+) M permutations/s \\(102 ");
    const std::regex hits("\nGPU ([01]): Bench hits: ([1-9][0-9]*) verified, 0 failed");
    double candidates = 0, permutations = 0;
    uint64_t verified = 0;
    std::string rated, verifying;  // the cards with a rate line, with hits that all verified
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), rate), end; it != end; ++it) {
        rated += (*it)[1];
        candidates += std::stod((*it)[2]), permutations += std::stod((*it)[3]);
    }
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), hits), end; it != end; ++it) {
        verifying += (*it)[1];
        verified += std::stoull((*it)[2]);
    }
    for (const std::string& cards : {rated, verifying}) EXPECT_TRUE(cards == "01" || cards == "10") << r.out;
    std::smatch total;
    ASSERT_TRUE(std::regex_search(
        r.out, total, std::regex("\nBench total: 2 GPUs, ([0-9.]+) M candidates/s, ([0-9.]+) M permutations/s, "
                                 "([0-9]+) hits verified, 0 failed\n$")))
        << r.out;
    EXPECT_NEAR(std::stod(total[1]), candidates, 1e-3 * candidates);
    EXPECT_NEAR(std::stod(total[2]), permutations, 1e-3 * permutations);
    EXPECT_EQ(std::stoull(total[3]), verified);
}

}  // namespace
