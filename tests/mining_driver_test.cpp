// The nonce search on the emulator, driven by a scripted session.
#include <gtest/gtest.h>

#include "gpu/runtime.h"
#include "mining/mining_driver.h"
#include "mining/mining_kernels.h"
#include "pow/guesser_buffer.h"
#include "pow/solution_check.h"
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
    Next on_hit = Next::SOLVED;
    std::vector<cudaError_t> lost;
    int pauses = 0;

    Next between_ranges(const CheckedPuzzle&, std::chrono::milliseconds) override
    {
        return pass < passes.size() ? passes[pass++] : Next::STOPPED;
    }
    bool stop_requested() const override { return stop_checks++ >= stop_from; }
    Next after_batch(const CheckedPuzzle&, uint64_t) override { return stop_requested() ? Next::STOPPED : Next::MINE; }
    uint64_t& range_index() override { return range; }
    Next solution_found(const CheckedPuzzle&, const Pow& pow) override
    {
        found.push_back(pow);
        return on_hit;
    }
    void device_lost(cudaError_t error) override { lost.push_back(error); }
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
        const GuesserBuffer none;
        const GuesserBuffer& buffer = current_buffer ? *current_buffer : none;
        const auto o = support::capture_output(
            [&] { EXPECT_EQ(continuousMiningLoop(puzzle, buffer, session, config), expected); });
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

    // A counter is element 0 of a nonce digest and must stay below p: the range holding p - 1 ends
    // there, and none is mined past it (nor where range x size would wrap 2^64).
    const uint64_t m = field::P - 1;
    install(digest_to_hex_padded(Digest{{m, m, m, m, m}}));  // met by every candidate
    config.nonces_per_range = 256;
    session.stop_from = 1 << 30;
    for (const uint64_t range : {m / 256, m / 256 + 1, ~uint64_t(0)}) {
        session.found.clear();
        const bool last = range == m / 256;
        const support::CapturedOutput o = mine({Next::MINE}, last, range);
        EXPECT_EQ(launches, last ? 1u : 0u);
        EXPECT_EQ(session.found.size() == 1 && session.found[0].nonce[0] == m, last);
        EXPECT_EQ(o.err, last ? "" : "⚠️ Range " + std::to_string(range) + " would reach past the last nonce counter " +
                                         "(p - 1): this block's nonces are used up; waiting for new work\n");
    }
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
    const std::string bad = std::string(cudaGetErrorString(cudaErrorInvalidValue)) + "\n";
    const std::string lost = std::string(cudaGetErrorString(cudaErrorIllegalAddress)) + "\n";
    using emu::Op;
    // A failed allocation leaves no range; a failed memset skips its batch, a lost flag, nonce or
    // digest its hit: the second batch, over the next counters, finds another. A failed launch or
    // synchronisation ends the range, a lost path loses the hit. The batch behind each is queued
    // before its result is read. An error that loses the context ends the range wherever it comes
    // and is reported to the session.
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
        {Op::Kernel, 1, "[ERR][sync parallel_mining_kernel] " + lost, 2, false, true},      // queued before the wait
        {Op::Memset, 2, "[ERR][memset d_solution_nonce] " + lost, 0, false, true},
        {Op::Memcpy, 7, "Path A copy error: " + lost, 2, false, false}};
    for (const auto& [op, nth, err, expected_launches, handed, no_solution] : cases) {
        const bool losing = err.find(lost) != std::string::npos;
        emu::fail_nth(op, nth,
                      op == Op::Malloc ? cudaErrorMemoryAllocation : losing ? cudaErrorIllegalAddress : cudaErrorInvalidValue);
        session.found.clear();
        session.lost.clear();
        // A second pass would mine again, were the search not ended by the lost context.
        const support::CapturedOutput o = mine(losing ? std::vector<Next>{Next::MINE, Next::MINE} : std::vector<Next>{Next::MINE}, handed);
        emu::clear_faults();
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(launches, expected_launches) << err;
        ASSERT_EQ(session.found.size(), handed ? 1u : 0u) << err;
        if (handed) {
            support::check_pow(session.found[0], puzzle, 5);
            EXPECT_GE(session.found[0].nonce[0], config.max_batch_size) << "the second batch repeated the first";
        }
        EXPECT_EQ(count_of(o.out, "No solution found after 128 nonces"), no_solution ? 1u : 0u) << err;
        EXPECT_EQ(session.lost, losing ? std::vector<cudaError_t>{cudaErrorIllegalAddress} : std::vector<cudaError_t>{});
        EXPECT_EQ(session.range, 1u) << err;  // advanced also when the range could not start
    }
    void* p = nullptr;
    EXPECT_NE(cudaMalloc(&p, size_t(1) << 40),
              cudaSuccess);  // left pending from earlier work: reported, the range runs
    support::CapturedOutput o = mine({Next::MINE}, true);
    EXPECT_EQ(o.err, "[ERR][pre-mining stale error] out of memory\n");
    EXPECT_EQ(session.found.size(), 1u);
    EXPECT_TRUE(support::in_order(o.out, {"SOLUTION FOUND at nonce ", "!\nPerformance: ", "🎉 SOLUTION FOUND!\n🎉 SOLUTION FOUND! Nonce: "}));
    // The call ends on what the session says: a hit it takes ends it, one it refuses ends the range.
    mine({Next::GIVE_WAY}, false);
    EXPECT_EQ(launches, 0u);
    session.on_hit = Next::MINE;
    session.found.clear();
    mine({Next::MINE, Next::MINE}, false);
    EXPECT_EQ(session.found.size(), 2u);
    EXPECT_EQ(session.range, 2u);
    current_buffer->cleanup();
    o = mine({Next::MINE}, false);
    EXPECT_EQ(o.err, "ERROR: Invalid buffer for mining (missing GPU merkle tree)\n");
    EXPECT_EQ(launches, 0u);
    EXPECT_EQ(session.range, 1u);  // the offset advances all the same
}

TEST_F(MiningDriver, AHitIsCheckedOnTheHostPieceByPiece)
{
    install(support::easy_threshold());
    mine({Next::MINE}, true);
    ASSERT_EQ(session.found.size(), 1u);
    const Pow hit = session.found[0];
    const GuesserBuffer& buffer = *current_buffer;
    EXPECT_EQ(checkSolution(buffer, puzzle.threshold, hit), "");
    const auto [a, b] = Pow::indices(buffer.final_hash, hit.nonce, 31);
    const std::vector<std::pair<std::function<void(Pow&)>, std::string>> faults = {
        {[](Pow& p) { p.root[2] ^= 1; }, "root is not the buffer's root"},
        {[](Pow& p) { p.nonce[0] = field::P; }, "nonce counter is not a canonical field element"},
        {[](Pow& p) { p.path_a[0][4] ^= 1; }, "path_a[0] is not the sibling leaf of leaf " + std::to_string(a)},
        {[](Pow& p) { p.path_a[4][0] ^= 1; }, "path_a does not lead to the root"},
        {[](Pow& p) { p.path_b[0][0] ^= 1; }, "path_b[0] is not the sibling leaf of leaf " + std::to_string(b)},
        {[](Pow& p) { p.path_b[2][1] ^= 1; }, "path_b does not lead to the root"},
        {[](Pow& p) { p.path_b[5][3] = 1; }, "path_b does not lead to the root"}};  // above the tree
    for (const auto& [corrupt, what] : faults) {
        Pow pow = hit;
        corrupt(pow);
        EXPECT_EQ(checkSolution(buffer, puzzle.threshold, pow), what);
    }
    EXPECT_EQ(checkSolution(buffer, Digest{}, hit), "block hash does not meet the threshold");
}

}  // namespace
