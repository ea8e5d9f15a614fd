// The nonce search's view of the running miner: the event queue, the stop flag, the working range
// index (global_nonce_offset), the solution counts, the status line and the bridge connection.
// Main thread only.
#pragma once

#include "miner/mining_event.h"
#include "miner/mining_status.h"
#include "mining/mining_session.h"
#include "pow/guesser_buffer.h"

class MinerSession : public MiningSession {
public:
    explicit MinerSession(MiningStatus& status) : status_(status) {}

    // STOP_MINING ends the search. A NEW_PUZZLE with another id means newer work: the newest one
    // queued goes back to the queue for the mining loop and the search gives way. Anything else,
    // the mined puzzle's own id included, is dropped.
    Next between_ranges(const CheckedPuzzle& puzzle, std::chrono::milliseconds wait) override;
    bool stop_requested() const override;
    // Counts the candidates, then the stop flag and the queue as between ranges.
    Next after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates) override;
    std::uint64_t& range_index() override;
    // Checks the hit on the host against the installed buffer and the puzzle's threshold. One that
    // fails is counted and reported, never submitted, and the search goes on; one that holds is
    // counted, handed to the solution outbox under the puzzle's id (sent, or kept while the bridge
    // is away) and ends the search: a puzzle needs one solution.
    Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) override;
    void device_lost(cudaError_t error) override;
    void pause(std::chrono::milliseconds duration) override;

private:
    MiningStatus& status_;
};

// Checks a hit on the host against `buffer` and the puzzle's threshold. One that fails is counted
// and reported ("⚠️ Hit at nonce N failed verification (why): not submitted"): false.
bool verified_hit(const GuesserBuffer* buffer, const CheckedPuzzle& puzzle, const Pow& pow);
// Counts a verified solution and hands it to the solution outbox under the puzzle's id.
void deliver_solution(const CheckedPuzzle& puzzle, const Pow& pow);

// `first`, a NEW_PUZZLE just taken, or the newest work queued behind it, taking all that is queued
// without waiting: a later NEW_PUZZLE replaces it, a STOP_MINING wins, anything else is dropped.
MiningEvent newest_work(MiningEvent first);

// Once per process: reports the lost context, records it for the exit status
// (DEVICE_LOST_EXIT_STATUS) and requests the stop, so the shutdown runs in its usual order.
void stop_for_lost_device(cudaError_t error);
