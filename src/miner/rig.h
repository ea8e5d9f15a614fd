// The cards the miner mines on, one or several: each builds its own guesser buffer and mines on a
// host thread of its own, so no card waits for another. Of the D cards that mine a puzzle, slot s
// searches range indices base + s, base + s + D, base + s + 2D, ...: no counter is searched twice.
// The calling thread meanwhile watches the event queue, so newer work or a stop reaches every card
// within one batch. Each card's loop alone decides what a GPU failure means: a lost context or a
// card that cannot be selected takes the card out for good, a failure that repeats max_card_failures
// times in a row too; the others mine on, and when none is left the process stops with
// NO_CARD_LEFT_EXIT_STATUS. A card that hangs stops the process with HUNG_CARD_EXIT_STATUS. A rig of one card prints its lines unnamed; of several, each card's
// lines start with "GPU N: ". With a temperature limit, a card whose core or memory reaches it pauses
// at its next batch boundary and resumes once both are TEMP_RESUME_MARGIN_C below it; it keeps its
// place in the ranges meanwhile, and the other cards mine on.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "miner/miner_state.h"
#include "miner/mining_config.h"
#include "miner/mining_status.h"
#include "mining/batch_pipeline.h"
#include "pow/guesser_buffer.h"

constexpr double TEMP_RESUME_MARGIN_C = 10;

class Rig {
public:
    class Search;  // how the search of one puzzle by all cards ends

    Rig(MinerState& state, MiningStatus& status, const MiningConfig& config);
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Builds each working card's buffer for `puzzle` in parallel (or keeps one built from the same
    // paths); a card that cannot build it sits this puzzle out. Then every card with a buffer mines
    // until a solution is taken, a stop, newer work (put back on the queue for the mining loop), or
    // no card can go on. Moves the state's range index past every range started. True on a solution.
    bool mine(const CheckedPuzzle& puzzle);

    // At the end of the run, card by card on its own device: the buffer freed, the device reset.
    // After a card hung, the process ends here with HUNG_CARD_EXIT_STATUS, that card untouched.
    void cleanup();

private:
    struct Card {
        int gpu = 0;
        GuesserBuffer buffer;
        BatchPipeline pipeline;  // lives as long as the buffer
        bool out = false;        // left out for good
        bool hung = false;       // a batch outlived the watchdog: never touched again
        int failures = 0;        // failed builds or searches in a row
        bool paused = false;     // too hot for the temperature limit, from one search into the next
    };

    // On the card's own thread: makes it the thread's device and names it in front of the thread's
    // lines. False (the card left out) when the device cannot be selected.
    bool enter(std::size_t slot);
    void build(std::size_t slot, const CheckedPuzzle& puzzle);
    void search(std::size_t slot, const CheckedPuzzle& puzzle, Search& search, std::uint64_t first_range,
                std::uint64_t stride, std::uint64_t& next_range);
    // A failed build or search: false when the card is left out because of it.
    bool failed(std::size_t slot, const GpuStatus& failure);
    void take_out(std::size_t slot, const std::string& reason, bool context_lost);
    // A card that hangs ends the process (HUNG_CARD_EXIT_STATUS) after the usual shutdown, which
    // asks nothing more of that card.
    void hung(std::size_t slot);

    MinerState& state_;
    MiningStatus& status_;
    const MiningConfig& config_;
    std::vector<Card> cards_;
    std::atomic<int> working_;  // cards not left out
};
