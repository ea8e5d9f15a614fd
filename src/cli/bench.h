// corvane-miner --bench: builds the guesser buffer of a fixed synthetic puzzle, mines it for a set
// time with a threshold that gives a hit every few seconds, checks every hit on the host and
// reports the build time, candidates/s and permutations/s. No bridge and no controller.
#pragma once

#include <chrono>
#include <cstdint>

#include "cli/options.h"
#include "miner/mining_controller.h"
#include "mining/mining_kernel_choice.h"
#include "pow/build_config.h"

// Tip5 permutations a kernel spends per candidate: 63 for the two leaf indices, 39 for the block
// hash, and each of the two sibling leaves either read (stored) or rebuilt from its 32 buds (63),
// the reference kernel also recomputing the commitment (4) for every leaf it rebuilds.
constexpr uint64_t INDEX_PERMUTATIONS = 63;
constexpr uint64_t BLOCK_HASH_PERMUTATIONS = 39;
constexpr uint64_t LEAF_PERMUTATIONS = 63;
constexpr uint64_t COMMITMENT_PERMUTATIONS = 4;

// With a share `stored` of the leaves stored, a sibling leaf is rebuilt for the other share of the
// candidates (the leaf indices are uniform): on average 102 + 2 (1 - stored) 63 for the fast kernel.
constexpr double permutations_per_candidate(MiningKernel kernel, double stored)
{
    const uint64_t per_leaf = kernel == MiningKernel::reference ? LEAF_PERMUTATIONS + COMMITMENT_PERMUTATIONS
                                                                : LEAF_PERMUTATIONS;
    return double(INDEX_PERMUTATIONS + BLOCK_HASH_PERMUTATIONS) + 2 * (1 - stored) * double(per_leaf);
}
static_assert(permutations_per_candidate(MiningKernel::fast, 1) == 102);
static_assert(permutations_per_candidate(MiningKernel::fast, 0) == 228);
static_assert(permutations_per_candidate(MiningKernel::fast, 0.5) == 165);
static_assert(permutations_per_candidate(MiningKernel::reference, 0) == 236);

// The bench's pacing; the product runs the defaults, the emulated executable shortens them.
struct BenchConfig {
    // Mined first with a threshold nothing meets, to measure the rate the threshold is set from
    // (at most a fifth of the bench's time; at least one batch).
    std::chrono::milliseconds calibration{1000};
    // Expected time between two hits once the threshold is set: rare enough that nearly every
    // batch runs whole, often enough that a bench of 20 s checks several hits.
    std::chrono::milliseconds hit_interval{4000};
};

// Benches the GPUs of `settings` (after their device check) with its bench options, over the
// geometry and batch sizes of `config`. Several cards bench at the same time, each on a thread of
// its own whose lines start with "GPU N: ", and a "Bench total: ..." line sums them up. Returns the
// exit status: 0 when every card's bench ran and every hit verified.
int runBench(const StartupSettings& settings, const MiningConfig& config, const BenchConfig& bench = {});
