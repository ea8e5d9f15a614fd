// The inner loop of mining: the host Pow::indices and fast MAST hash, and parallel_mining_kernel
// itself on the emulator over a small guesser tree.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "gpu/runtime.h"
#include "mining/mining_hash.h"
#include "mining_batch.h"
#include "pow/guesser_buffer.h"
#include "pow/pow.h"
#include "support/guesser_reference.h"

namespace {

using reference::random_digest;
using reference::random_paths;
using reference::random_pow;

void BM_PowIndicesHost(benchmark::State& state)
{
    std::mt19937_64 rng(1);
    const Digest final_hash = random_digest(rng);
    Digest nonce = random_digest(rng);
    for (auto _ : state) {
        auto indices = Pow::indices(final_hash, nonce);
        benchmark::DoNotOptimize(indices);
        ++nonce[0];
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PowIndicesHost);

void BM_FastMastHashHost(benchmark::State& state)
{
    std::mt19937_64 rng(2);
    const PowMastPaths paths = random_paths(rng);
    Pow pow = random_pow(rng);
    for (auto _ : state) {
        Digest h = paths.fast_mast_hash(pow);
        benchmark::DoNotOptimize(h);
        ++pow.nonce[0];
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FastMastHashHost);

// Permutations the kernel's candidate arithmetic spends per candidate over this tree, counted by
// running the same source on the host.
double permutations_per_candidate(const GuesserBuffer& buffer, uint64_t height, MiningKernel kernel, int samples)
{
    std::vector<Digest> nodes(buffer.merkle_tree_size);
    if (cudaMemcpy(nodes.data(), buffer.d_merkle_tree, nodes.size() * sizeof(Digest), cudaMemcpyDeviceToHost) !=
        cudaSuccess)
        return 0;
    uint64_t count = 0;
    const CountingPermutation permute{&count};
    const mining::TreeView tree{nullptr, 0, nodes.data(), buffer.num_leafs, height};
    const mining::BuiltLeaves built{buffer.mast_paths.commit()};
    const mining::ReferenceLeaves reference_leaves{buffer.mast_paths};
    std::mt19937_64 rng(3);
    for (int i = 0; i < samples; ++i) {
        const Digest nonce = random_digest(rng);
        if (kernel == MiningKernel::fast)
            mining::candidate_hash(tree, buffer.mast_paths, buffer.merkle_root, buffer.final_hash, nonce, built, permute);
        else
            mining::candidate_hash(tree, buffer.mast_paths, buffer.merkle_root, buffer.final_hash, nonce,
                                   reference_leaves, permute);
    }
    return static_cast<double>(count) / samples;
}

// A fixed number of candidates per launch over a tree of height range(0), with the fast kernel
// (range(2) = 0) or the reference one (1); a zero threshold is never met, so every candidate is
// worked out in full.
void BM_ParallelMiningKernelEmulated(benchmark::State& state)
{
    const uint64_t height = static_cast<uint64_t>(state.range(0));
    const uint64_t candidates = static_cast<uint64_t>(state.range(1));
    const MiningKernel kernel = state.range(2) == 0 ? MiningKernel::fast : MiningKernel::reference;
    const unsigned block = 64;
    const unsigned grid = static_cast<unsigned>((candidates + block - 1) / block);
    std::mt19937_64 rng(4);
    GuesserBuffer buffer = Pow::preprocess_gpu(random_paths(rng), GuesserGeometry{height});
    MiningBatchRunner runner;
    if (buffer.d_merkle_tree == nullptr || runner.allocate() != cudaSuccess) {
        state.SkipWithError("device set-up failed");
        return;
    }
    uint64_t start = 0;
    for (auto _ : state) {
        int found = 0;
        if (runner.run(buffer, Digest{}, start, candidates, grid, block, kernel, found) != cudaSuccess || found != 0) {
            state.SkipWithError("mining launch failed");
            return;
        }
        start += candidates;
    }
    state.counters["candidates/s"] =
        benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["permutations/candidate"] = permutations_per_candidate(buffer, height, kernel, 4);
}
BENCHMARK(BM_ParallelMiningKernelEmulated)
    ->Args({8, 256, 0})
    ->Args({8, 256, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
