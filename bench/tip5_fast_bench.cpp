// Host Tip5: the fast permutation, from the same state as BM_Tip5PermutationHost (today's).
#include <benchmark/benchmark.h>

#include "hash/tip5_fast.h"
#include "hash/tip5_host.h"

static void BM_Tip5FastPermutationHost(benchmark::State& state)
{
    uint64_t s[tip5::STATE_SIZE];
    for (int i = 0; i < tip5::STATE_SIZE; ++i) s[i] = 0x0123456789abcdefull * (i + 1) % field::P;
    for (auto _ : state) {
        tip5_fast::permutation(s, LOOKUP_TABLE_HOST);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Tip5FastPermutationHost);
