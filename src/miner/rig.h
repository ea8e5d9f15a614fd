// Several cards of one machine mining the same puzzle: each builds its own guesser buffer and mines
// on its own host thread, so no card waits for another. Of the D cards that mine a puzzle, slot s
// searches range indices base + s, base + s + D, base + s + 2D, ...: no counter is searched twice.
// The calling thread meanwhile watches the event queue, so newer work or a stop reaches every card
// within one batch. A card whose context is lost is left out for good; the others mine on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <vector>

#include "miner/mining_status.h"
#include "mining/mining_driver.h"
#include "pow/guesser_buffer.h"

class Rig {
public:
    Rig(const std::vector<int>& gpus, MiningStatus& status);
    ~Rig();  // frees each card's buffer on its own device
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Builds each working card's buffer for `puzzle` in parallel (or keeps one built from the same
    // paths); a card that cannot build it sits this puzzle out. Then every card with a buffer mines
    // until a solution is taken, a stop, newer work (put back on the queue for the mining loop), or
    // no card can go on. Moves global_nonce_offset past every range started. True on a solution.
    bool mine(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry, const MiningDriverConfig& driver);

private:
    struct Card {
        int gpu = 0;
        GuesserBuffer buffer;
        bool out = false;  // its context is lost
    };

    void build(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry);
    void take_out(std::size_t slot, cudaError_t error);  // on the card's own thread

    std::vector<Card> cards_;
    MiningStatus& status_;
    std::atomic<int> working_;  // cards not taken out
};
