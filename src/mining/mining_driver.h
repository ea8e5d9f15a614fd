// The host side of the nonce search for one puzzle: ranges of nonce counters searched as one stream
// of occupancy-sized batches of parallel_mining_kernel, the next batch always queued behind the
// running one, across range boundaries too; a hit is handed to the session that runs the search.
#pragma once

#include <cstdint>

#include "diag/gpu_status.h"
#include "mining/batch_pipeline.h"
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
    MiningKernel kernel = MiningKernel::fast;
    // A batch still running this long after the host began to wait for it means the card hangs. A
    // batch takes milliseconds, a range seconds; 30 s leaves room for a desktop's display stalls and
    // throttling, yet ends a hung miner well before a pool would notice its silence.
    uint64_t watchdog_ms = 30000;
};

// How a search ended: the session ended it (a solution it took, a stop, newer work), a runtime call
// failed, the block's counters ran out before p, or a batch outlived the watchdog: then the device
// runs nothing more and any call that waits for it would never return.
struct SearchEnd {
    MiningSession::Next next = MiningSession::Next::MINE;
    GpuStatus failure;
    bool used_up = false;
    bool hung = false;

    bool solved() const { return next == MiningSession::Next::SOLVED; }
};

// Mines `puzzle` with `buffer` (built for it on the current device) through `pipeline` (prepared on
// the first search with this buffer, kept for the next ones), range after range from the session's
// range index, until the session, a failure or the last counter ends the search. Every range begun
// moves the session's range index on by its stride, except one whose batches were all dropped when
// the search ended.
SearchEnd continuousMiningLoop(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, BatchPipeline& pipeline,
                               MiningSession& session, const MiningDriverConfig& config = {});
