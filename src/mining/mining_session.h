// What the nonce search needs from the program around it. The driver owns this interface and so
// depends on nothing above it; the application implements it over its event queue, its stop flag,
// its working range index and the bridge connection.
#pragma once

#include <chrono>
#include <cstdint>

#include "gpu/runtime.h"
#include "pow/checked_puzzle.h"
#include "pow/pow.h"

class MiningSession {
public:
    enum class Next {
        MINE,      // search the next range
        SOLVED,    // end the search reporting success
        STOPPED,   // end it without
        GIVE_WAY,  // newer work waits: end it without
    };

    virtual ~MiningSession() = default;

    // At the top of each pass: waits at most `wait` for news and says how the search of `puzzle`
    // goes on.
    virtual Next between_ranges(const CheckedPuzzle& puzzle, std::chrono::milliseconds wait) = 0;
    // Read before each pass.
    virtual bool stop_requested() const = 0;
    // After each batch of `candidates`, without waiting: MINE goes on with the range; anything else
    // ends the range and the search at once, so a stop or newer work waits one batch at most.
    virtual Next after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates) = 0;
    // The working range index: read at the start of each range, advanced by range_stride after it
    // (one card of several searches every stride-th range).
    virtual std::uint64_t& range_index() = 0;
    virtual std::uint64_t range_stride() const { return 1; }
    // A hit read back whole, found with the buffer installed for `puzzle`. SOLVED ends the search
    // with success; MINE goes on with the next range (a hit the session would not submit).
    virtual Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) = 0;
    // The device's context is lost (`error` is what lost it): the search has ended and nothing more
    // can run on this device in this process.
    virtual void device_lost(cudaError_t error) = 0;
    // The pause after each range; ends early on a stop.
    virtual void pause(std::chrono::milliseconds duration) = 0;
};
