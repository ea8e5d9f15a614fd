// The nonce search's view of the running miner: the event queue, the stop flag, the working range
// index (global_nonce_offset), the solution count and the bridge connection. Main thread only.
#pragma once

#include "mining/mining_session.h"

class MinerSession : public MiningSession {
public:
    // SOLUTION_FOUND ends the search with success, STOP_MINING without. A NEW_PUZZLE on another
    // previous block goes back to the end of the queue for the mining loop and the search gives way;
    // one on the same block, and anything else, is dropped.
    Next between_ranges(const CheckedPuzzle& puzzle, std::chrono::milliseconds wait) override;
    bool stop_requested() const override;
    // The stop flag, then the queue as between ranges.
    Next after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates) override;
    std::uint64_t& range_index() override;
    // Counts it in total_solutions_found, posts SOLUTION_FOUND (which a later pass takes) and hands
    // it to the solution outbox, which sends it or keeps it while the bridge is away.
    void solution_found(const CheckedPuzzle& puzzle, const Pow& pow) override;
    void pause(std::chrono::milliseconds duration) override;
};
