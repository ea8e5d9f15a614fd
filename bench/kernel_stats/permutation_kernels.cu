// Measuring kernels for scripts/kernel-stats.sh, which compiles this file with nvcc alone (CMake
// never builds it). Each kernel calls one permutation out of line, so the body of the called
// function, from its label to its RET, is one permutation in SASS.
#include "hash/tip5_device.cuh"
#include "hash/tip5_fast.h"

namespace {

__device__ __forceinline__ void load_state(const uint64_t* states, uint64_t* state)
{
    for (int i = 0; i < tip5::STATE_SIZE; ++i) state[i] = states[tip5::STATE_SIZE * threadIdx.x + i];
}

__device__ __forceinline__ void store_state(const uint64_t* state, uint64_t* states)
{
    for (int i = 0; i < tip5::STATE_SIZE; ++i) states[tip5::STATE_SIZE * threadIdx.x + i] = state[i];
}

}  // namespace

// Today's permutation keeps its round loop rolled; the same three layers with the five rounds
// unrolled make the static count the count per call. Its data-dependent reduction loops, which
// run at most once, count once.
extern "C" __device__ __noinline__ void reference_permutation(uint64_t* state)
{
    uint64_t scratch[tip5::STATE_SIZE];
#pragma unroll
    for (int round = 0; round < tip5::NUM_ROUNDS; ++round) {
        tip5::sbox_layer(state, scratch, LOOKUP_TABLE);
        tip5::mds_layer(scratch, state, MDS_COEFF);
        tip5::round_constants_layer(round, state, state, ROUND_CONSTANTS);
    }
}

// The fast permutation with each form of its MDS layer, its byte table in global memory as the
// product's kernels read it.
#define MEASURE_FAST(form)                                                                         \
    extern "C" __device__ __noinline__ void fast_##form(uint64_t* state)                          \
    {                                                                                              \
        tip5_fast::permutation<tip5_fast::Mds::form>(state, LOOKUP_TABLE_GLOBAL);                  \
    }                                                                                              \
    extern "C" __global__ void measure_fast_##form(uint64_t* states)                               \
    {                                                                                              \
        uint64_t state[tip5::STATE_SIZE];                                                          \
        load_state(states, state);                                                                 \
        fast_##form(state);                                                                        \
        store_state(state, states);                                                                \
    }
MEASURE_FAST(direct)
MEASURE_FAST(fp64)
MEASURE_FAST(crt)

extern "C" __global__ void measure_reference_permutation(uint64_t* states)
{
    uint64_t state[tip5::STATE_SIZE];
    load_state(states, state);
    reference_permutation(state);
    store_state(state, states);
}
