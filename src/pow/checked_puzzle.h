// A puzzle as the miner works on it: read and checked once where the bridge's reply arrives, its
// paths and threshold already digests. Nothing after that point reads puzzle text again.
#pragma once

#include <string>

#include "hash/digest.h"
#include "pow/pow.h"

struct CheckedPuzzle {
    std::string id;                    // echoed back when submitting
    std::string prev_block;            // a change marks a new block
    std::string total_guesser_reward;  // as sent
    std::string threshold_text;        // as sent, for the log
    Digest threshold{};                // a candidate's hash must lie below it
    PowMastPaths mast_paths{};
};
