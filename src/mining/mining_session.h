// What the nonce search needs from the program around it. The driver owns this interface and so
// depends on nothing above it; the application implements it over its stop flag, its share of the
// range indices, the status line and the solution outbox.
#pragma once

#include <cstdint>

#include "pow/checked_puzzle.h"
#include "pow/pow.h"

class MiningSession {
public:
    enum class Next {
        MINE,      // go on
        SOLVED,    // end the search reporting success
        STOPPED,   // end it without
        GIVE_WAY,  // newer work waits: end it without
    };

    virtual ~MiningSession() = default;

    // Before the first batch (candidates 0) and after each batch that ran, without waiting: MINE goes
    // on; anything else ends the search at once, so a stop or newer work waits one batch at most.
    virtual Next after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates) = 0;
    // The working range index: read when a range begins, which moves it on by range_stride (one card
    // of several searches every stride-th range).
    virtual std::uint64_t& range_index() = 0;
    virtual std::uint64_t range_stride() const { return 1; }
    // A hit read back whole, found with the buffer installed for `puzzle`. SOLVED ends the search
    // with success; MINE goes on (a hit the session would not submit).
    virtual Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) = 0;
};
