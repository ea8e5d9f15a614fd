// The nonce search on the emulator, driven by a scripted session.
#include <gtest/gtest.h>

#include "gpu/runtime.h"
#include "mining/mining_driver.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"

namespace {

using support::capture_output;
using support::count_of;
using Next = MiningSession::Next;
constexpr uint64_t TREE_HEIGHT = 5;

struct ScriptedSession : MiningSession {
    std::vector<Next> passes;  // the verdict of each pass; STOPPED after the last
    int stop_from = -1;        // stop_requested() is true from its (stop_from + 1)-th call on
    mutable int stop_checks = 0;
    uint64_t range = 0;
    std::vector<Pow> found;
    int pauses = 0;

    Next between_ranges(const CheckedPuzzle&, std::chrono::milliseconds) override
    {
        const Next next = passes.empty() ? Next::STOPPED : passes.front();
        if (!passes.empty()) passes.erase(passes.begin());
        return next;
    }
    bool stop_requested() const override { return stop_from >= 0 && stop_checks++ >= stop_from; }
    uint64_t& range_index() override { return range; }
    void solution_found(const CheckedPuzzle&, const Pow& pow) override { found.push_back(pow); }
    void pause(std::chrono::milliseconds) override { ++pauses; }
};

class MiningDriver : public testing::Test {
protected:
    void install(const std::string& threshold)
    {
        emu::configure(emu::Config{});
        puzzle = support::checked(support::test_puzzle("mined", "block-1", threshold, 751));
        capture_output([&] { ASSERT_TRUE(preprocessPuzzle(puzzle, GuesserGeometry{TREE_HEIGHT})); });
        allocations_with_buffer = emu::live_allocations();
    }
    // One call of the driver; the output, with the launches it made.
    support::CapturedOutput mine(std::vector<Next> passes, bool expected_result)
    {
        session.passes = std::move(passes);
        const unsigned long long before = emu::launches();
        bool result = !expected_result;
        const support::CapturedOutput o = capture_output([&] { result = continuousMiningLoop(puzzle, session, config); });
        launches = emu::launches() - before;
        EXPECT_EQ(result, expected_result);
        EXPECT_EQ(emu::live_allocations(), allocations_with_buffer);  // the record is freed per range
        return o;
    }
    void TearDown() override
    {
        current_buffer.reset();
        emu::clear_faults();
    }

    CheckedPuzzle puzzle;
    ScriptedSession session;
    MiningDriverConfig config{256, 128, std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
    size_t allocations_with_buffer = 0;
    unsigned long long launches = 0;
};

TEST_F(MiningDriver, RangesFollowOneAnotherInOccupancySizedBatches)
{
    install(support::impossible_threshold());
    config.nonces_per_range = 200;  // batches of 128 and 72
    session.range = 7;
    const support::CapturedOutput o = mine({Next::MINE, Next::MINE}, false);
    EXPECT_EQ(launches, 4u);
    EXPECT_EQ(count_of(o.out, "No solution found after 200 nonces (time: "), 2u) << o.out;
    EXPECT_EQ(session.range, 9u);
    EXPECT_EQ(session.pauses, 2);
    EXPECT_EQ(o.err, "");

    // A stop ends the range after the batch in flight (the range would take hours here).
    config.nonces_per_range = MAX_NONCES_PER_RANGE;
    session.stop_from = 2;  // the pass, then the first two batches
    EXPECT_EQ(count_of(mine({Next::MINE}, false).out, "No solution found after 256 nonces"), 1u);
    EXPECT_EQ(session.range, 10u);
}

TEST_F(MiningDriver, HitsAreFoundInTheirRangeAndHandedOverWhole)
{
    install(support::easy_threshold());
    session.range = 3;
    const support::CapturedOutput o = mine({Next::MINE, Next::MINE, Next::SOLVED}, true);
    ASSERT_EQ(session.found.size(), 2u);
    for (uint64_t r = 0; r < 2; ++r) {
        const uint64_t counter = session.found[r].nonce[0];
        support::check_pow(session.found[r], puzzle, TREE_HEIGHT);
        EXPECT_GE(counter, (3 + r) * config.nonces_per_range);  // in the first batch of its range
        EXPECT_LT(counter, (3 + r) * config.nonces_per_range + config.max_batch_size);
        EXPECT_NE(o.out.find("SOLUTION FOUND at nonce " + std::to_string(counter) + "!\nPerformance: "), std::string::npos);
        EXPECT_NE(o.out.find("🎉 SOLUTION FOUND!\n🎉 SOLUTION FOUND! Nonce: " + std::to_string(counter) + " (time: "),
                  std::string::npos);
    }
    EXPECT_EQ(session.range, 5u);
    EXPECT_EQ(o.err, "");

    // How a call ends: what the session says, or the stop flag (true only after a hit in this call).
    for (const auto& [passes, result] : std::vector<std::pair<std::vector<Next>, bool>>{
             {{Next::GIVE_WAY}, false}, {{Next::STOPPED}, false}, {{Next::SOLVED}, true}}) {
        mine(passes, result);
        EXPECT_EQ(launches, 0u);
    }
    session.stop_from = 0;
    mine({Next::MINE}, false);
    session.stop_from = 1;
    session.stop_checks = 0;
    mine({Next::MINE, Next::MINE}, true);
    EXPECT_EQ(session.range, 6u);
}

TEST_F(MiningDriver, LaunchSizeFollowsOccupancyWithItsFallbacks)
{
    // Default virtual device: 4 multiprocessors of 1536 threads. The search settles on 768
    // threads (2 blocks), clamped to 256; 6 blocks of 256 fit per multiprocessor.
    emu::configure(emu::Config{});
    MiningLaunch l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(std::vector<int>({l.block_size, l.blocks_per_multiprocessor, l.multiprocessors, l.grid_floor}),
              std::vector<int>({256, 6, 4, 8}));
    EXPECT_EQ(l.batch, 6u * 4u * 256u);
    EXPECT_EQ(l.grid_for(1), 48u);                         // twice the resident blocks
    EXPECT_EQ(l.grid_for(100000), (100000u + 255) / 256);  // one candidate per thread at least
    EXPECT_EQ(sizeMiningLaunch(1000).batch, 1000u);

    emu::Config big;  // one wave exceeds the cap
    big.device.multiprocessor_count = 132;
    big.device.max_threads_per_multiprocessor = 2048;
    big.device.max_blocks_per_multiprocessor = 32;
    big.device.kernel_max_threads_per_block = 256;  // the kernel's launch bound
    emu::configure(big);
    l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(std::vector<int>({l.block_size, l.blocks_per_multiprocessor, l.grid_floor}), std::vector<int>({256, 8, 8 * 132}));
    EXPECT_EQ(l.batch, MAX_BATCH_SIZE);
    EXPECT_EQ(l.grid_for(MAX_BATCH_SIZE), 2u * 8u * 132u);

    // A failed query is reported and its fallback taken: the block-size search (256 threads, the
    // floor is the resident blocks), then the per-multiprocessor query (its 10th: 1024 down to 768).
    const std::string bad = cudaGetErrorString(cudaErrorInvalidDeviceFunction);
    for (const auto& [nth, line, blocks, floor] : std::vector<std::tuple<int, std::string, int, int>>{
             {1, "[ERR][occupancy block size] " + bad + "\n", 6, 24},
             {10, "[ERR][occupancy blocks per multiprocessor] " + bad + "\n", 4, 8}}) {
        emu::configure(emu::Config{});
        emu::fail_nth(emu::Op::Occupancy, nth, cudaErrorInvalidDeviceFunction);
        const support::CapturedOutput o = capture_output([&] { l = sizeMiningLaunch(MAX_BATCH_SIZE); });
        EXPECT_EQ(o.err, line);
        EXPECT_EQ(std::vector<int>({l.block_size, l.blocks_per_multiprocessor, l.grid_floor}),
                  std::vector<int>({256, blocks, floor}));
        EXPECT_EQ(l.batch, uint64_t(blocks) * 4u * 256u);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // nothing left to read as a launch failure
    }
}

TEST_F(MiningDriver, FailuresOfARangeAreReportedFreedAndCounted)
{
    install(support::impossible_threshold());
    config.nonces_per_range = 64;
    config.max_batch_size = 32;
    const std::string oom = cudaGetErrorString(cudaErrorMemoryAllocation);
    const std::string bad = cudaGetErrorString(cudaErrorLaunchFailure);
    struct Case {
        emu::Op op;
        int nth;
        std::string err;
        unsigned long long launches;  // of the range's two batches; "No solution found" when it ran
    };
    const std::vector<Case> cases = {
        {emu::Op::Malloc, 1, "CUDA malloc failed for d_solution_nonce: " + oom + "\n", 0},
        {emu::Op::Malloc, 2, "CUDA malloc failed for d_solution_found: " + oom + "\n", 0},
        {emu::Op::Malloc, 3, "CUDA malloc failed for d_solution_path_a: " + oom + "\n", 0},
        {emu::Op::Malloc, 4, "CUDA malloc failed for d_solution_path_b: " + oom + "\n", 0},
        {emu::Op::Malloc, 5, "CUDA malloc failed for d_solution_nonce_digest: " + oom + "\n", 0},
        {emu::Op::Memset, 1, "[ERR][memset d_solution_found] " + bad + "\n", 1},  // the batch is skipped
        {emu::Op::Memset, 2, "[ERR][memset d_solution_nonce] " + bad + "\n", 1},
        {emu::Op::Memset, 3, "[ERR][memset d_solution_nonce_digest] " + bad + "\n", 1},
        {emu::Op::Launch, 1, "[ERR][launch parallel_mining_kernel] " + bad + "\n", 0},  // the range ends
        {emu::Op::Synchronize, 1, "[ERR][sync parallel_mining_kernel] " + bad + "\n", 1},
        {emu::Op::Kernel, 1, "[ERR][sync parallel_mining_kernel] " + bad + "\n", 1},
        {emu::Op::Memcpy, 1, "Solution found copy error: " + bad + "\n", 2},  // a lost flag costs the batch
    };
    for (const Case& c : cases) {
        emu::fail_nth(c.op, c.nth, c.op == emu::Op::Malloc ? cudaErrorMemoryAllocation : cudaErrorLaunchFailure);
        session.range = 0;
        const support::CapturedOutput o = mine({Next::MINE}, false);
        emu::clear_faults();
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(launches, c.launches) << c.err;
        const bool ran = c.op != emu::Op::Malloc;
        EXPECT_EQ(count_of(o.out, "No solution found after "), ran ? 1u : 0u) << c.err;
        if (c.op == emu::Op::Launch) EXPECT_NE(o.out.find("No solution found after 32 nonces"), std::string::npos);
        EXPECT_EQ(session.range, 1u) << c.err;  // advanced also when the range could not start
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.err;
    }
}

TEST_F(MiningDriver, LostHitsStaleErrorsAndAMissingTree)
{
    install(support::easy_threshold());
    const std::string bad = cudaGetErrorString(cudaErrorLaunchFailure);
    // Copies 2 and 3 are the nonce and its digest: the hit is dropped and the next batch, which
    // searches the next counters, finds another. Copies 4 and 5 are the paths: nothing is handed over.
    for (const auto& [nth, prefix] : std::vector<std::pair<int, std::string>>{
             {2, "Solution nonce copy error: "}, {3, "Solution nonce digest copy error: "},
             {4, "Path A copy error: "}, {5, "Path B copy error: "}}) {
        emu::fail_nth(emu::Op::Memcpy, nth, cudaErrorLaunchFailure);
        session.range = 0;
        session.found.clear();
        const support::CapturedOutput o = mine({Next::MINE}, false);
        emu::clear_faults();
        EXPECT_EQ(o.err, prefix + bad + "\n");
        EXPECT_EQ(count_of(o.out, "SOLUTION FOUND at nonce "), 1u) << prefix;
        EXPECT_EQ(session.found.size(), nth < 4 ? 1u : 0u);
        if (nth < 4) EXPECT_GE(session.found[0].nonce[0], config.max_batch_size) << "the second batch repeated the first";
        if (nth >= 4) EXPECT_EQ(o.out.find("🎉"), std::string::npos);
    }
    void* p = nullptr;
    EXPECT_NE(cudaMalloc(&p, size_t(1) << 40), cudaSuccess);  // left pending from earlier work
    support::CapturedOutput o = mine({Next::MINE}, false);
    EXPECT_EQ(o.err, "[ERR][pre-mining stale error] " + std::string(cudaGetErrorString(cudaErrorMemoryAllocation)) + "\n");
    EXPECT_EQ(count_of(o.out, "SOLUTION FOUND at nonce "), 1u);  // the range runs

    current_buffer->cleanup();
    allocations_with_buffer = 0;
    session.range = 0;
    o = mine({Next::MINE}, false);
    EXPECT_EQ(o.err, "ERROR: Invalid buffer for mining (missing GPU merkle tree)\n");
    EXPECT_EQ(launches, 0u);
    EXPECT_EQ(session.range, 1u);  // the offset advances all the same
}

}  // namespace
