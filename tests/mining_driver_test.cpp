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

// Answers after_batch from a script (STOPPED after its last entry) and notes, for each batch, how
// many launches had been made when it was read.
struct ScriptedSession : MiningSession {
    std::vector<Next> verdicts;  // of after_batch: the first for the call before any batch
    size_t next = 0;
    uint64_t range = 0;
    std::vector<Pow> found;
    Next on_hit = Next::SOLVED;
    std::vector<unsigned long long> launches_when_read;

    Next after_batch(const CheckedPuzzle&, uint64_t candidates) override
    {
        if (candidates > 0) launches_when_read.push_back(emu::launches());
        return next < verdicts.size() ? verdicts[next++] : Next::STOPPED;
    }
    uint64_t& range_index() override { return range; }
    Next solution_found(const CheckedPuzzle&, const Pow& pow) override
    {
        found.push_back(pow);
        return on_hit;
    }
};

class MiningDriver : public testing::Test {
protected:
    void install(const std::string& threshold)
    {
        puzzle = support::checked(support::test_puzzle("mined", "block-1", threshold));
        pipeline.release();
        GpuStatus status;
        support::capture_output([&] { ASSERT_TRUE(buildGuesserBuffer(puzzle, GuesserGeometry{5}, buffer, status)); });
    }
    // One call of the driver from range `range`: its output, and the launches it made.
    support::CapturedOutput mine(std::vector<Next> verdicts, uint64_t range = 0)
    {
        session = ScriptedSession{};
        session.verdicts = std::move(verdicts);
        session.range = range;
        session.on_hit = on_hit;
        const unsigned long long before = emu::launches();
        const auto o = support::capture_output([&] { end = continuousMiningLoop(puzzle, buffer, pipeline, session, config); });
        launches = emu::launches() - before;
        for (unsigned long long& at : session.launches_when_read) at -= before;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        return o;
    }
    void SetUp() override { emu::configure(emu::Config{}); }

    CheckedPuzzle puzzle;
    GuesserBuffer buffer;
    BatchPipeline pipeline;  // kept from one call to the next, as a card keeps it
    ScriptedSession session;
    Next on_hit = Next::SOLVED;
    SearchEnd end;
    MiningDriverConfig config{256, 128};
    unsigned long long launches = 0;
};

TEST_F(MiningDriver, RangesFollowOneAnotherAsOneStreamOfBatches)
{
    install(support::impossible_threshold());
    config.nonces_per_range = 200;  // batches of 128 and 72
    support::CapturedOutput o = mine(std::vector<Next>(5, Next::MINE), 7);  // the fifth batch read stops it
    EXPECT_EQ(count_of(o.out, "No solution found after 200 nonces (time: "), 2u) << o.out << o.err;
    EXPECT_EQ(count_of(o.out, "No solution found after 128 nonces (time: "), 1u) << o.out;  // the range stopped in
    EXPECT_EQ(end.next, Next::STOPPED);
    // The device never waits for the host: each batch, the last of a range too, is read once the
    // next one is queued; the one queued behind the stop runs out, and the range it alone began is
    // given back.
    EXPECT_EQ(session.launches_when_read, (std::vector<unsigned long long>{2, 3, 4, 5, 6}));
    EXPECT_EQ(launches, 6u);
    EXPECT_EQ(session.range, 10u);
    // The pipeline outlives the call: the next search makes no stream of its own.
    emu::fail_nth(emu::Op::StreamCreate, 1, cudaErrorMemoryAllocation);
    o = mine({Next::MINE, Next::MINE}, 10);
    emu::clear_faults();
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(session.launches_when_read, (std::vector<unsigned long long>{2, 3}));
    EXPECT_EQ(session.range, 11u);

    // A counter is element 0 of a nonce digest and must stay below p: the range holding p - 1 ends
    // there, and none is mined past it (nor where range x size would wrap 2^64).
    const uint64_t m = field::P - 1;
    install(digest_to_hex_padded(Digest{{m, m, m, m, m}}));  // met by every candidate
    config.nonces_per_range = 256;
    for (const uint64_t range : {m / 256, m / 256 + 1, ~uint64_t(0)}) {
        const bool last = range == m / 256;
        o = mine({Next::MINE}, range);
        EXPECT_EQ(launches, last ? 1u : 0u);
        EXPECT_EQ(session.found.size() == 1 && session.found[0].nonce[0] == m, last);
        EXPECT_EQ(end.solved(), last);
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

TEST_F(MiningDriver, AFailureEndsTheSearchAndTravelsToItsCaller)
{
    install(support::easy_threshold());  // a hit in each batch of 128 candidates
    const std::string oom = std::string(cudaGetErrorString(cudaErrorMemoryAllocation)) + "\n";
    const std::string bad = std::string(cudaGetErrorString(cudaErrorInvalidValue)) + "\n";
    const std::string lost = std::string(cudaGetErrorString(cudaErrorIllegalAddress)) + "\n";
    using emu::Op;
    // Each failed call is reported once, ends the search (the batch queued behind it runs out) and
    // comes back as the search's failure; the pipeline is made again by the next search after a
    // failed allocation.
    struct Row {
        Op op;
        int nth;
        cudaError_t error;
        std::string line;
        unsigned launches;
    };
    const std::vector<Row> rows = {
        {Op::Malloc, 1, cudaErrorMemoryAllocation, "CUDA malloc failed for d_solution_nonce: " + oom, 0},
        {Op::Malloc, 8, cudaErrorMemoryAllocation, "CUDA malloc failed for d_solution_path_a: " + oom, 0},
        {Op::Memset, 3, cudaErrorInvalidValue, "[ERR][memset d_solution_nonce_digest] " + bad, 0},
        {Op::Memcpy, 2, cudaErrorInvalidValue, "Solution nonce copy error: " + bad, 1},
        {Op::Memcpy, 7, cudaErrorInvalidValue, "Path A copy error: " + bad, 2},  // after the second batch's copies
        {Op::Launch, 1, cudaErrorInvalidValue, "[ERR][launch parallel_mining_kernel] " + bad, 0},
        {Op::Synchronize, 1, cudaErrorInvalidValue, "[ERR][sync parallel_mining_kernel] " + bad, 2},
        {Op::Kernel, 1, cudaErrorIllegalAddress, "[ERR][sync parallel_mining_kernel] " + lost, 2}};
    for (const Row& row : rows) {
        if (row.op == Op::Malloc) pipeline.release();
        emu::fail_nth(row.op, row.nth, row.error);
        const support::CapturedOutput o = mine({Next::MINE, Next::MINE});
        emu::clear_faults();
        EXPECT_EQ(o.err, row.line);
        EXPECT_EQ(launches, row.launches) << row.line;
        EXPECT_TRUE(session.found.empty()) << row.line;
        EXPECT_EQ(end.failure.code(), row.error) << row.line;
        EXPECT_EQ(end.failure.loses_context(), row.error == cudaErrorIllegalAddress) << row.line;
    }
    void* p = nullptr;
    EXPECT_NE(cudaMalloc(&p, size_t(1) << 40), cudaSuccess);  // left pending from earlier work: reported, mining goes on
    support::CapturedOutput o = mine({Next::MINE});
    EXPECT_EQ(o.err, "[ERR][pre-mining stale error] out of memory\n");
    ASSERT_EQ(session.found.size(), 1u);
    support::check_pow(session.found[0], puzzle, 5);
    EXPECT_TRUE(end.solved() && end.failure.ok());
    EXPECT_TRUE(support::in_order(o.out, {"SOLUTION FOUND at nonce ", "!\nPerformance: ", "🎉 SOLUTION FOUND!\n🎉 SOLUTION FOUND! Nonce: "}));
    // The call ends on what the session says: news before the first batch, or a hit it takes; one
    // it refuses is followed by the next batch's.
    mine({Next::GIVE_WAY});
    EXPECT_EQ(launches, 0u);
    on_hit = Next::MINE;
    mine({Next::MINE, Next::MINE, Next::MINE});
    EXPECT_EQ(session.found.size(), 3u);
    EXPECT_EQ(session.range, 2u);
    buffer.cleanup();
    o = mine({Next::MINE});
    EXPECT_EQ(o.err, "ERROR: Invalid buffer for mining (missing GPU merkle tree)\n");
    EXPECT_EQ(launches, 0u);
}

TEST_F(MiningDriver, AHitIsCheckedOnTheHostPieceByPiece)
{
    install(support::easy_threshold());
    mine({Next::MINE});
    ASSERT_EQ(session.found.size(), 1u);
    const Pow hit = session.found[0];
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
