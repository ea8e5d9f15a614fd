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

// A table in shared memory, as the mining kernels will hold it. Named here rather than passed in,
// so that the out-of-line functions read it with LDS (LDC below), not through generic pointers.
__shared__ uint8_t SHARED_LOOKUP[256];

extern "C" __device__ __noinline__ void fast_permutation(uint64_t* state)
{
    tip5_fast::permutation(state, SHARED_LOOKUP);
}

// A table in global memory, read through the read-only cache: no barrier needed to fill it.
__device__ const uint8_t GLOBAL_LOOKUP[256] = {
#include "hash/lookup_table.inc"
};

extern "C" __device__ __noinline__ void fast_permutation_global_table(uint64_t* state)
{
    tip5_fast::permutation(state, GLOBAL_LOOKUP);
}

extern "C" __device__ __noinline__ void fast_permutation_constant_table(uint64_t* state)
{
    tip5_fast::permutation(state, LOOKUP_TABLE);
}

extern "C" __global__ void measure_reference_permutation(uint64_t* states)
{
    uint64_t state[tip5::STATE_SIZE];
    load_state(states, state);
    reference_permutation(state);
    store_state(state, states);
}

extern "C" __global__ void measure_fast_permutation(uint64_t* states)
{
    for (unsigned i = threadIdx.x; i < 256; i += blockDim.x) SHARED_LOOKUP[i] = LOOKUP_TABLE[i];
    __syncthreads();
    uint64_t state[tip5::STATE_SIZE];
    load_state(states, state);
    fast_permutation(state);
    store_state(state, states);
}

// The same with the table left in constant memory: as many instructions, but a warp's divergent
// byte reads are served one address at a time.
extern "C" __global__ void measure_fast_permutation_constant_table(uint64_t* states)
{
    uint64_t state[tip5::STATE_SIZE];
    load_state(states, state);
    fast_permutation_constant_table(state);
    store_state(state, states);
}

extern "C" __global__ void measure_fast_permutation_global_table(uint64_t* states)
{
    uint64_t state[tip5::STATE_SIZE];
    load_state(states, state);
    fast_permutation_global_table(state);
    store_state(state, states);
}
