// The nonce search on the emulator, driven by a scripted session.
#include <gtest/gtest.h>

#include "gpu/runtime.h"
#include "mining/mining_driver.h"
#include "mining/mining_kernels.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"

namespace {

using support::count_of;
using Next = MiningSession::Next;

struct ScriptedSession : MiningSession {
    std::vector<Next> passes;  // the verdict of each pass; STOPPED after the last
    size_t pass = 0;
    int stop_from = 1 << 30;  // the stop is seen from the (stop_from + 1)-th check on
    mutable int stop_checks = 0;
    uint64_t range = 0;
    std::vector<Pow> found;
    int pauses = 0;

    Next between_ranges(const CheckedPuzzle&, std::chrono::milliseconds) override
    {
        return pass < passes.size() ? passes[pass++] : Next::STOPPED;
    }
    bool stop_requested() const override { return stop_checks++ >= stop_from; }
    Next after_batch(const CheckedPuzzle&, uint64_t) override { return stop_requested() ? Next::STOPPED : Next::MINE; }
    uint64_t& range_index() override { return range; }
    void solution_found(const CheckedPuzzle&, const Pow& pow) override { found.push_back(pow); }
    void pause(std::chrono::milliseconds) override { ++pauses; }
};

class MiningDriver : public testing::Test {
protected:
    void install(const std::string& threshold)
    {
        puzzle = support::checked(support::test_puzzle("mined", "block-1", threshold));
        support::capture_output([&] { ASSERT_TRUE(preprocessPuzzle(puzzle, GuesserGeometry{5})); });
    }
    // One call of the driver from range `range`: its output, and the launches it made.
    support::CapturedOutput mine(std::vector<Next> passes, bool expected, uint64_t range = 0)
    {
        session.passes = std::move(passes);
        session.pass = session.stop_checks = 0;
        session.range = range;
        const unsigned long long before = emu::launches();
        const auto o =
            support::capture_output([&] { EXPECT_EQ(continuousMiningLoop(puzzle, session, config), expected); });
        launches = emu::launches() - before;
        const GuesserBuffer* b = current_buffer.get();  // its arrays alone stay: the driver's are per range
        EXPECT_EQ(emu::live_allocations(), b ? (b->d_merkle_tree != nullptr) + (b->d_leafs != nullptr) : 0u);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        return o;
    }
    void SetUp() override { emu::configure(emu::Config{}); }
    void TearDown() override { current_buffer.reset(); }

    CheckedPuzzle puzzle;
    ScriptedSession session;
    MiningDriverConfig config{256, 128, std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
    unsigned long long launches = 0;
};

TEST_F(MiningDriver, RangesFollowOneAnotherInOccupancySizedBatches)
{
    install(support::impossible_threshold());
    config.nonces_per_range = 200;  // batches of 128 and 72
    const support::CapturedOutput o = mine({Next::MINE, Next::MINE}, false, 7);
    EXPECT_EQ(launches, 4u);
    EXPECT_EQ(count_of(o.out + o.err, "No solution found after 200 nonces (time: "), 2u) << o.out << o.err;
    EXPECT_EQ(session.range, 9u);
    EXPECT_EQ(session.pauses, 2);
    // A stop ends the range after the batch in flight (the range would take hours here).
    config.nonces_per_range = MAX_NONCES_PER_RANGE;
    session.stop_from = 2;  // the pass, then the first two batches
    EXPECT_EQ(count_of(mine({Next::MINE}, false).out, "No solution found after 256 nonces"), 1u);
    EXPECT_EQ(session.range, 1u);
}

TEST_F(MiningDriver, LaunchSizeFollowsOccupancyWithItsFallbacks)
{
    // Default virtual device: 4 multiprocessors of 1536 threads; the reference kernel, bound to 256
    // threads (the fast one to its own bound). The search settles on 768 threads (2 blocks), clamped
    // to 256; 6 blocks of 256 fit. A failed query is reported and its fallback
    // taken: the block-size search (256 threads, the floor is the resident blocks), then the
    // per-multiprocessor query (its 10th: 1024 down to 768 threads).
    const std::string bad = cudaGetErrorString(cudaErrorInvalidDeviceFunction);
    for (const auto& [nth, line, blocks, floor] : std::vector<std::tuple<int, std::string, int, int>>{
             {0, "", 6, 8}, {1, "[ERR][occupancy block size] " + bad + "\n", 6, 24},
             {10, "[ERR][occupancy blocks per multiprocessor] " + bad + "\n", 4, 8}}) {
        if (nth > 0) emu::fail_nth(emu::Op::Occupancy, nth, cudaErrorInvalidDeviceFunction);
        MiningLaunch l;
        EXPECT_EQ(support::capture_output([&] { l = sizeMiningLaunch(MAX_BATCH_SIZE, MiningKernel::reference); }).err,
                  line);
        EXPECT_EQ(std::vector<int>({l.block_size, l.blocks_per_multiprocessor, l.multiprocessors, l.grid_floor}),
                  std::vector<int>({256, blocks, 4, floor}));
        EXPECT_EQ(l.batch, uint64_t(blocks) * 4u * 256u);
        EXPECT_EQ(l.grid_for(1), 2u * blocks * 4u);         // twice the resident blocks
        EXPECT_EQ(l.grid_for(1u << 20), (1u << 20) / 256);  // one candidate per thread at least
        EXPECT_EQ(sizeMiningLaunch(1000).batch, 1000u);     // at most the cap
        EXPECT_EQ(sizeMiningLaunch(MAX_BATCH_SIZE).block_size, mining_kernel(MiningKernel::fast).max_block_size);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);         // nothing left to read as a launch failure
    }
}

TEST_F(MiningDriver, FailuresAreReportedFreedAndCounted)
{
    install(support::easy_threshold());  // a hit in each batch of 128 candidates
    const std::string oom = std::string(cudaGetErrorString(cudaErrorMemoryAllocation)) + "\n";
    const std::string bad = std::string(cudaGetErrorString(cudaErrorLaunchFailure)) + "\n";
    using emu::Op;
    // A failed allocation leaves no range; a failed memset skips its batch, a lost flag, nonce or
    // digest its hit: the second batch, over the next counters, finds another. A failed launch or
    // synchronisation ends the range, a lost path loses the hit. The batch behind each is queued
    // before its result is read.
    const std::vector<std::tuple<Op, int, std::string, unsigned, bool, bool>> cases = {
        // fault, error, launches, hit handed over, the no-solution line
        {Op::Malloc, 1, "CUDA malloc failed for d_solution_nonce: " + oom, 0, false, false},
        {Op::Malloc, 3, "CUDA malloc failed for d_solution_path_a: " + oom, 0, false, false},
        {Op::Malloc, 5, "CUDA malloc failed for d_solution_nonce_digest: " + oom, 0, false, false},
        {Op::Memset, 1, "[ERR][memset d_solution_found] " + bad, 1, true, false},
        {Op::Memset, 3, "[ERR][memset d_solution_nonce_digest] " + bad, 1, true, false},
        {Op::Memcpy, 1, "Solution found copy error: " + bad, 2, true, false},
        {Op::Memcpy, 2, "Solution nonce copy error: " + bad, 2, true, false},
        {Op::Memcpy, 3, "Solution nonce digest copy error: " + bad, 2, true, false},
        {Op::Memcpy, 7, "Path A copy error: " + bad, 2, false, false},  // after the second batch's 3 copies
        {Op::Memcpy, 8, "Path B copy error: " + bad, 2, false, false},
        {Op::Launch, 1, "[ERR][launch parallel_mining_kernel] " + bad, 0, false, true},
        {Op::Synchronize, 1, "[ERR][sync parallel_mining_kernel] " + bad, 2, false, true},  // the second was
        {Op::Kernel, 1, "[ERR][sync parallel_mining_kernel] " + bad, 2, false, true}};      // queued before the wait
    for (const auto& [op, nth, err, expected_launches, handed, no_solution] : cases) {
        emu::fail_nth(op, nth, op == Op::Malloc ? cudaErrorMemoryAllocation : cudaErrorLaunchFailure);
        session.found.clear();
        const support::CapturedOutput o = mine({Next::MINE}, false);
        emu::clear_faults();
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(launches, expected_launches) << err;
        ASSERT_EQ(session.found.size(), handed ? 1u : 0u) << err;
        if (handed) {
            support::check_pow(session.found[0], puzzle, 5);
            EXPECT_GE(session.found[0].nonce[0], config.max_batch_size) << "the second batch repeated the first";
        }
        EXPECT_EQ(count_of(o.out, "No solution found after 128 nonces"), no_solution ? 1u : 0u) << err;
        EXPECT_EQ(session.range, 1u) << err;  // advanced also when the range could not start
    }
    void* p = nullptr;
    EXPECT_NE(cudaMalloc(&p, size_t(1) << 40),
              cudaSuccess);  // left pending from earlier work: reported, the range runs
    support::CapturedOutput o = mine({Next::MINE}, false);
    EXPECT_EQ(o.err, "[ERR][pre-mining stale error] out of memory\n");
    EXPECT_EQ(session.found.size(), 1u);
    EXPECT_TRUE(support::in_order(o.out, {"SOLUTION FOUND at nonce ", "!\nPerformance: ", "🎉 SOLUTION FOUND!\n🎉 SOLUTION FOUND! Nonce: "}));
    // The call ends on what the session says, or on the stop flag: true only after a hit in the call.
    mine({Next::GIVE_WAY}, false);
    EXPECT_EQ(launches, 0u);
    session.stop_from = 1;
    mine({Next::MINE, Next::MINE}, true);
    current_buffer->cleanup();
    o = mine({Next::MINE}, false);
    EXPECT_EQ(o.err, "ERROR: Invalid buffer for mining (missing GPU merkle tree)\n");
    EXPECT_EQ(launches, 0u);
    EXPECT_EQ(session.range, 1u);  // the offset advances all the same
}

}  // namespace
