#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "bridge/shared_state.h"
#include "bridge/stop_signal.h"
#include "gpu/runtime.h"
#include "mining/mining_driver.h"
#include "pow/guesser_buffer.h"
#include "support/captured_output.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::capture_output;
using support::CapturedOutput;
using support::easy_threshold;
using support::impossible_threshold;
using support::test_puzzle;

constexpr uint64_t TREE_HEIGHT = 5;

class MiningDriver : public testing::Test {
protected:
    void SetUp() override
    {
        current_buffer.reset();
        g_corvane_miner_client.reset();
        emu::configure(emu::Config{});
        stop_mining = false;
        global_nonce_offset = 0;
        total_solutions_found = 0;
        event_handler = std::make_unique<EventHandler>();
        config.nonces_per_range = 256;
        config.max_batch_size = 128;
        config.event_wait = 1ms;
        config.range_pause = 0ms;
    }
    void TearDown() override
    {
        g_corvane_miner_client.reset();
        current_buffer.reset();
        event_handler.reset();
        emu::clear_faults();
        stop_mining = false;
    }

    void install(const PowPuzzle& puzzle)
    {
        bool built = false;
        capture_output([&] { built = preprocessPuzzle(puzzle, GuesserGeometry{TREE_HEIGHT}); });
        ASSERT_TRUE(built);
        allocations_with_buffer = emu::live_allocations();
    }

    // The events are taken one per pass: every event but the last lets one range run.
    void queue(const std::vector<MiningEvent>& events)
    {
        for (const MiningEvent& e : events) event_handler->postEvent(e);
    }

    static MiningEvent stop() { return MiningEvent(EventType::STOP_MINING, "", "Signal 2"); }
    static MiningEvent noise() { return MiningEvent(EventType::ERROR, "", "bridge hiccup"); }

    CapturedOutput mine(const PowPuzzle& puzzle, bool& result)
    {
        launches_before = emu::launches();
        CapturedOutput o = capture_output([&] { result = continuousMiningLoop(puzzle, config); });
        launches = emu::launches() - launches_before;
        return o;
    }

    std::vector<MiningEvent> remaining_events()
    {
        std::vector<MiningEvent> out;
        for (MiningEvent e; event_handler->waitForEvent(e, 0ms);) out.push_back(e);
        return out;
    }

    MiningDriverConfig config;
    size_t allocations_with_buffer = 0;
    unsigned long long launches_before = 0;
    unsigned long long launches = 0;
};

TEST_F(MiningDriver, RangesFollowOneAnotherInFullBatches)
{
    const PowPuzzle puzzle = test_puzzle("range-puzzle", "block-1", impossible_threshold());
    install(puzzle);
    config.nonces_per_range = 200;  // batches of 128 and 72
    global_nonce_offset = 7;
    // Dropped on the way: an error and a puzzle on the same block.
    PowPuzzle same_block = test_puzzle("other-id", "block-1", easy_threshold(), 9);
    queue({noise(), MiningEvent(EventType::NEW_PUZZLE, same_block.id, canonical_puzzle_text(same_block)), stop()});
    bool result = true;
    const CapturedOutput o = mine(puzzle, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(launches, 4u);
    EXPECT_EQ(count_of(o.out, "No solution found after 200 nonces (time: "), 2u) << o.out;
    EXPECT_EQ(global_nonce_offset, 9u);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(emu::live_allocations(), allocations_with_buffer);  // the record is freed per range
    EXPECT_TRUE(remaining_events().empty());
}

TEST_F(MiningDriver, LaunchSizeFollowsOccupancyWithItsFallbacks)
{
    // Default virtual device: 4 multiprocessors of 1536 threads. The search settles on 768
    // threads (2 blocks), clamped to 256; 6 blocks of 256 fit per multiprocessor.
    MiningLaunch l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(l.block_size, 256);
    EXPECT_EQ(l.blocks_per_multiprocessor, 6);
    EXPECT_EQ(l.multiprocessors, 4);
    EXPECT_EQ(l.grid_floor, 8);  // the search's minimum grid: 2 blocks x 4
    EXPECT_EQ(l.batch, 6u * 4u * 256u);
    EXPECT_EQ(l.grid_for(1), 48u);                       // twice the resident blocks
    EXPECT_EQ(l.grid_for(100000), (100000u + 255) / 256);  // enough for one candidate per thread
    EXPECT_EQ(sizeMiningLaunch(1000).batch, 1000u);

    // A large device: one wave exceeds the cap.
    emu::Config big;
    big.device.multiprocessor_count = 132;
    big.device.max_threads_per_multiprocessor = 2048;
    big.device.max_blocks_per_multiprocessor = 32;
    big.device.kernel_max_threads_per_block = 256;  // the kernel's launch bound
    emu::configure(big);
    l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(l.block_size, 256);
    EXPECT_EQ(l.blocks_per_multiprocessor, 8);
    EXPECT_EQ(l.grid_floor, 8 * 132);
    EXPECT_EQ(l.batch, MAX_BATCH_SIZE);
    EXPECT_EQ(l.grid_for(MAX_BATCH_SIZE), 2u * 8u * 132u);

    // The block-size search fails: 256 threads and no minimum grid; the floor is the resident blocks.
    emu::configure(emu::Config{});
    emu::fail_nth(emu::Op::Occupancy, 1, cudaErrorInvalidDeviceFunction);
    l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(l.block_size, 256);
    EXPECT_EQ(l.blocks_per_multiprocessor, 6);
    EXPECT_EQ(l.grid_floor, 24);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // nothing left to read as a launch failure

    // The per-multiprocessor query fails (the search made 9 queries: 1024 down to 768).
    emu::configure(emu::Config{});
    emu::fail_nth(emu::Op::Occupancy, 10, cudaErrorInvalidDeviceFunction);
    l = sizeMiningLaunch(MAX_BATCH_SIZE);
    EXPECT_EQ(l.block_size, 256);
    EXPECT_EQ(l.blocks_per_multiprocessor, 4);
    EXPECT_EQ(l.batch, 4u * 4u * 256u);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(MiningDriver, SolutionIsSubmittedWithFullTextsAndAnnounced)
{
    support::TestBridge bridge(support::TestBridge::always(""));
    g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>("127.0.0.1", bridge.port());
    capture_output([] { ASSERT_TRUE(g_corvane_miner_client->connect()); });

    // Seed 751 gives a tree whose root begins with a 00 byte, which the short hex form would drop.
    const PowPuzzle puzzle = test_puzzle("solvable-puzzle-0123456789", "block-1", easy_threshold(), 751);
    install(puzzle);
    global_nonce_offset = 3;
    // Two ranges with a hit each; the third pass takes the first solution event.
    queue({noise(), noise()});
    bool result = false;
    const CapturedOutput o = mine(puzzle, result);
    EXPECT_TRUE(result);
    EXPECT_EQ(global_nonce_offset, 5u);
    EXPECT_EQ(total_solutions_found.load(), 2u);
    EXPECT_EQ(count_of(o.out, "🎉 Solution submitted and accepted by Corvane network!\n"), 2u) << o.out;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(emu::live_allocations(), allocations_with_buffer);

    const std::vector<std::string> submissions = bridge.wait_for_lines("\"SubmitSolution\"", 2, 5s);
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(bridge.lines().size(), 2u);
    uint64_t range = 3;
    for (const std::string& line : submissions) {
        const nlohmann::json pow = nlohmann::json::parse(line)["SubmitSolution"]["pow"];
        EXPECT_EQ(pow["root"].get<std::string>().substr(0, 2), "00");
        EXPECT_EQ(pow["path_a"][GUESSER_TREE_HEIGHT - 1], std::string(DIGEST_HEX_LENGTH, '0'));  // above the tree
        const support::CheckedSolution s = support::check_submission(line, puzzle, TREE_HEIGHT);
        EXPECT_EQ(s.proposal_id, puzzle.id);
        // A hit lies in the first batch of its range.
        EXPECT_GE(s.nonce_counter, range * config.nonces_per_range);
        EXPECT_LT(s.nonce_counter, range * config.nonces_per_range + config.max_batch_size);
        const std::string found = "SOLUTION FOUND at nonce " + std::to_string(s.nonce_counter) + "!\n";
        EXPECT_NE(o.out.find(found + "Performance: "), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("🎉 SOLUTION FOUND!\n🎉 SOLUTION FOUND! Nonce: " + std::to_string(s.nonce_counter) +
                             " (time: "),
                  std::string::npos);
        ++range;
    }
    // The second range's announcement is still queued behind the one the driver took.
    const std::vector<MiningEvent> left = remaining_events();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].type, EventType::SOLUTION_FOUND);
    EXPECT_EQ(left[0].puzzle_id, puzzle.id);
    const uint64_t second = support::check_submission(submissions[1], puzzle, TREE_HEIGHT).nonce_counter;
    EXPECT_EQ(left[0].data, "Nonce: " + std::to_string(second));
}

TEST_F(MiningDriver, EveryDigestTextHasEightyCharacters)
{
    Pow pow;
    pow.root = Digest{{0x1200, 5, 6, 7, 8}};  // first byte 00: the short form would drop it
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) {
        pow.path_a[i] = Digest{{i << 8, 0, 0, 0, 1}};
        pow.path_b[i] = Digest{};
    }
    pow.nonce = Digest{{0, 3, 0, 0, 0}};
    const SolutionTexts t = solution_texts(pow);
    std::vector<std::string> all = {t.root, t.nonce};
    all.insert(all.end(), t.path_a.begin(), t.path_a.end());
    all.insert(all.end(), t.path_b.begin(), t.path_b.end());
    ASSERT_EQ(all.size(), 2 + 2 * GUESSER_TREE_HEIGHT);
    for (const std::string& text : all) {
        EXPECT_EQ(text.size(), DIGEST_HEX_LENGTH);
        EXPECT_EQ(text.substr(0, 2), "00");
    }
    EXPECT_EQ(hex_to_digest(t.root), pow.root);
    EXPECT_EQ(hex_to_digest(t.nonce), pow.nonce);
    for (size_t i = 0; i < GUESSER_TREE_HEIGHT; ++i) {
        EXPECT_EQ(hex_to_digest(t.path_a[i]), pow.path_a[i]);
        EXPECT_EQ(hex_to_digest(t.path_b[i]), pow.path_b[i]);
    }
}

TEST_F(MiningDriver, EventsEndTheSearch)
{
    const PowPuzzle puzzle = test_puzzle("mined", "block-1", impossible_threshold());
    install(puzzle);

    // A puzzle on another block goes to the back of the queue, behind what was already there.
    const PowPuzzle next = test_puzzle("next", "block-2", easy_threshold(), 2);
    const MiningEvent switch_event(EventType::NEW_PUZZLE, next.id, canonical_puzzle_text(next));
    queue({switch_event, noise()});
    bool result = true;
    CapturedOutput o = mine(puzzle, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(launches, 0u);
    EXPECT_EQ(o.out, "\n🔄 New puzzle detected during mining, switching...\n");
    std::vector<MiningEvent> left = remaining_events();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].type, EventType::ERROR);
    EXPECT_EQ(left[1].type, EventType::NEW_PUZZLE);
    EXPECT_EQ(left[1].data, switch_event.data);

    // A solution event ends it with success, a stop without.
    queue({MiningEvent(EventType::SOLUTION_FOUND, puzzle.id, "Nonce: 1")});
    EXPECT_TRUE(continuousMiningLoop(puzzle, config));
    queue({stop()});
    EXPECT_FALSE(continuousMiningLoop(puzzle, config));

    // The stop flag: false without a solution in this call.
    stop_mining = true;
    EXPECT_FALSE(continuousMiningLoop(puzzle, config));
    EXPECT_EQ(global_nonce_offset, 0u);
}

TEST_F(MiningDriver, StopEndsTheRangeAfterTheBatchInFlight)
{
    const PowPuzzle puzzle = test_puzzle("long-range", "block-1", impossible_threshold());
    install(puzzle);
    config.nonces_per_range = MAX_NONCES_PER_RANGE;  // would take hours on the emulator
    config.range_pause = 10s;
    std::thread stopper([] {
        std::this_thread::sleep_for(50ms);
        request_stop();
    });
    bool result = true;
    const auto t0 = std::chrono::steady_clock::now();
    const CapturedOutput o = mine(puzzle, result);
    stopper.join();
    EXPECT_FALSE(result);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);  // neither the range nor the pause ran out
    EXPECT_EQ(count_of(o.out, "No solution found after "), 1u);
    EXPECT_EQ(o.out.find("No solution found after " + std::to_string(MAX_NONCES_PER_RANGE)), std::string::npos);
    EXPECT_EQ(global_nonce_offset, 1u);
}

// One range under an injected fault; returns the output.
struct FaultCase {
    emu::Op op;
    int nth;
    std::string err;  // expected error stream
    bool range_runs;  // the "No solution found" line appears
};

TEST_F(MiningDriver, FailuresOfARangeAreReportedAndFreed)
{
    const PowPuzzle puzzle = test_puzzle("faults", "block-1", impossible_threshold());
    install(puzzle);
    config.nonces_per_range = 64;
    config.max_batch_size = 32;
    const std::string oom = cudaGetErrorString(cudaErrorMemoryAllocation);
    const std::string bad = cudaGetErrorString(cudaErrorLaunchFailure);
    const std::vector<FaultCase> cases = {
        {emu::Op::Malloc, 1, "CUDA malloc failed for d_solution_nonce: " + oom + "\n", false},
        {emu::Op::Malloc, 2, "CUDA malloc failed for d_solution_found: " + oom + "\n", false},
        {emu::Op::Malloc, 3, "CUDA malloc failed for d_solution_path_a: " + oom + "\n", false},
        {emu::Op::Malloc, 4, "CUDA malloc failed for d_solution_path_b: " + oom + "\n", false},
        {emu::Op::Malloc, 5, "CUDA malloc failed for d_solution_nonce_digest: " + oom + "\n", false},
        {emu::Op::Memset, 1, "[ERR][memset d_solution_found] " + bad + "\n", true},
        {emu::Op::Memset, 2, "[ERR][memset d_solution_nonce] " + bad + "\n", true},
        {emu::Op::Memset, 3, "[ERR][memset d_solution_nonce_digest] " + bad + "\n", true},
        {emu::Op::Launch, 1, "[ERR][launch parallel_mining_kernel] " + bad + "\n", true},
        // The failed synchronisation leaves its error pending for the clear to report.
        {emu::Op::Synchronize, 1,
         "[ERR][sync parallel_mining_kernel] " + bad + "\n[ERR][post-sync clear] " + bad + "\n", true},
        {emu::Op::Kernel, 1, "[ERR][sync parallel_mining_kernel] " + bad + "\n[ERR][post-sync clear] " + bad + "\n",
         true},
        {emu::Op::Memcpy, 1, "Solution found copy error: " + bad + "\n", true},
    };
    for (const FaultCase& c : cases) {
        global_nonce_offset = 0;
        const cudaError_t code = c.op == emu::Op::Malloc ? cudaErrorMemoryAllocation : cudaErrorLaunchFailure;
        emu::fail_nth(c.op, c.nth, code);
        queue({noise(), stop()});
        bool result = true;
        const CapturedOutput o = mine(puzzle, result);
        emu::clear_faults();
        EXPECT_FALSE(result);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(count_of(o.out, "No solution found after "), c.range_runs ? 1u : 0u) << c.err;
        EXPECT_EQ(global_nonce_offset, 1u) << c.err;  // advanced also when the range could not start
        EXPECT_EQ(emu::live_allocations(), allocations_with_buffer) << c.err;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.err;
    }

    // A skipped batch (memset) or a lost flag (copy) costs one batch; launch and sync end the range.
    emu::fail_nth(emu::Op::Memset, 1, cudaErrorLaunchFailure);
    queue({noise(), stop()});
    bool result = true;
    mine(puzzle, result);
    EXPECT_EQ(launches, 1u);  // 2 batches, the first skipped
    emu::fail_nth(emu::Op::Launch, 1, cudaErrorLaunchFailure);
    queue({noise(), stop()});
    CapturedOutput o = mine(puzzle, result);
    EXPECT_EQ(launches, 0u);
    EXPECT_NE(o.out.find("No solution found after 32 nonces"), std::string::npos) << o.out;
}

TEST_F(MiningDriver, LostHitsAndBadBuffers)
{
    const PowPuzzle puzzle = test_puzzle("lost-hits", "block-1", easy_threshold());
    install(puzzle);
    const std::string bad = cudaGetErrorString(cudaErrorLaunchFailure);

    // Copy 2 and 3 are the nonce and its digest: the hit is dropped, the next batch finds another.
    // Copies 4 and 5 are the paths: the range ends without a solution, nothing is submitted.
    const std::vector<std::pair<int, std::string>> cases = {{2, "Solution nonce copy error: "},
                                                            {3, "Solution nonce digest copy error: "},
                                                            {4, "Path A copy error: "},
                                                            {5, "Path B copy error: "}};
    for (const auto& [nth, prefix] : cases) {
        total_solutions_found = 0;
        emu::fail_nth(emu::Op::Memcpy, nth, cudaErrorLaunchFailure);
        queue({noise(), stop()});
        bool result = true;
        const CapturedOutput o = mine(puzzle, result);
        emu::clear_faults();
        EXPECT_EQ(o.err.substr(0, o.err.find('\n') + 1), prefix + bad + "\n");
        const bool paths = nth >= 4;
        EXPECT_EQ(total_solutions_found.load(), paths ? 0u : 1u) << prefix;
        EXPECT_EQ(result, false) << prefix;  // the stop was queued before the solution event
        EXPECT_EQ(count_of(o.out, "SOLUTION FOUND at nonce "), 1u) << prefix;
        if (paths) {
            EXPECT_EQ(o.out.find("🎉"), std::string::npos) << prefix;
        }
        EXPECT_EQ(emu::live_allocations(), allocations_with_buffer) << prefix;
        remaining_events();
    }

    // Without a client the solution still counts; the submission reports it.
    queue({noise(), stop()});
    bool result = true;
    CapturedOutput o = mine(puzzle, result);
    EXPECT_NE(o.out.find("⚠️ Solution found but submission failed or rejected. Continuing mining...\n"),
              std::string::npos);
    remaining_events();

    // An error left over from earlier work is reported and the range runs.
    void* p = nullptr;
    EXPECT_NE(cudaMalloc(&p, size_t(1) << 40), cudaSuccess);
    queue({noise(), stop()});
    o = mine(puzzle, result);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n') + 1),
              "[ERR][pre-mining stale error] " + std::string(cudaGetErrorString(cudaErrorMemoryAllocation)) + "\n");
    EXPECT_EQ(count_of(o.out, "SOLUTION FOUND at nonce "), 1u);
    remaining_events();

    // No tree: no range, but the offset still advances.
    current_buffer->cleanup();
    global_nonce_offset = 0;
    queue({noise(), stop()});
    o = mine(puzzle, result);
    EXPECT_EQ(o.err, "ERROR: Invalid buffer for mining (missing GPU merkle tree)\n");
    EXPECT_EQ(launches, 0u);
    EXPECT_EQ(global_nonce_offset, 1u);
}

}  // namespace
