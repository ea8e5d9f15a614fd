// Host Tip5: one permutation, and the pair hash of every Merkle node.
#include <benchmark/benchmark.h>

#include "hash/tip5_host.h"

static void BM_Tip5PermutationHost(benchmark::State& state)
{
    uint64_t s[tip5::STATE_SIZE];
    for (int i = 0; i < tip5::STATE_SIZE; ++i) s[i] = 0x0123456789abcdefull * (i + 1) % field::P;
    for (auto _ : state) {
        tip5_permutation_host(s);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Tip5PermutationHost);

static void BM_Tip5PairHashHost(benchmark::State& state)
{
    Tip5Digest left{1, 2, 3, 4, 5}, right{6, 7, 8, 9, 10};
    for (auto _ : state) {
        left = tip5_hash_fixed_host(left, right);
        benchmark::DoNotOptimize(left);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Tip5PairHashHost);
