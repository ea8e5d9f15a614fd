// The host side of the nonce search for one puzzle: ranges of nonce counters, each searched in
// occupancy-sized batches of parallel_mining_kernel, a hit handed to the session that runs it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mining/mining_kernel_choice.h"
#include "mining/mining_session.h"
#include "pow/checked_puzzle.h"
#include "pow/guesser_buffer.h"

constexpr uint64_t MAX_NONCES_PER_RANGE = 100000000;
constexpr uint64_t MAX_BATCH_SIZE = 262144;

// The product mines with the defaults; tests shrink them.
struct MiningDriverConfig {
    uint64_t nonces_per_range = MAX_NONCES_PER_RANGE;  // range r starts at counter r * nonces_per_range
    uint64_t max_batch_size = MAX_BATCH_SIZE;          // upper bound of candidates per launch
    std::chrono::milliseconds event_wait{100};         // at the top of each pass
    std::chrono::milliseconds range_pause{100};        // after each range; ends early on a stop
    MiningKernel kernel = MiningKernel::fast;
};

// Launch geometry of parallel_mining_kernel on the current device.
struct MiningLaunch {
    int block_size = 256;
    int blocks_per_multiprocessor = 4;
    int multiprocessors = 1;
    int warp_size = 32;
    int max_threads_per_multiprocessor = 0;
    int grid_floor = 1;
    uint64_t batch = 0;  // candidates per launch: one wave of resident threads, at most max_batch

    // Blocks for a launch of `count` candidates: at least twice the resident blocks.
    unsigned int grid_for(uint64_t count) const;
};

// Block-size search and occupancy query for `kernel`, its block size capped at its launch bound, with
// their fallbacks (that bound, 4 blocks per multiprocessor) when a query fails.
MiningLaunch sizeMiningLaunch(uint64_t max_batch, MiningKernel kernel = MiningKernel::fast);

// Mines `puzzle` with `buffer` (built for it on the current device), range after range from the session's
// range index, until the session ends the search (a solution it accepts, a stop, newer work), the
// device's context is lost (reported to the session) or the block's counters run out before p.
// True when the search ended on a solution.
bool continuousMiningLoop(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, MiningSession& session,
                          const MiningDriverConfig& config = {});
