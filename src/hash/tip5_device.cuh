// Device entry points of Tip5. Each translation unit that holds kernels includes this header and
// gets its own constant-memory copies of the tables, initialised from the device image.
#pragma once

#include "hash/tip5.h"
#include "hash/tip5_fast.h"

static __constant__ uint64_t ROUND_CONSTANTS[tip5::NUM_ROUNDS * tip5::STATE_SIZE] = {
#include "hash/round_constants.inc"
};

static __constant__ uint32_t MDS_COEFF[tip5::STATE_SIZE] = {
#include "hash/mds_coefficients.inc"
};

static __constant__ uint8_t LOOKUP_TABLE[256] = {
#include "hash/lookup_table.inc"
};

// The fast permutation's byte table: a warp's 32 random bytes would be serialised by constant
// memory; global memory through the read-only cache needs no barrier to fill, unlike shared memory.
static __device__ const uint8_t LOOKUP_TABLE_GLOBAL[256] = {
#include "hash/lookup_table.inc"
};

__device__ __forceinline__ tip5_fast::Permutation<> fast_permutation()
{
    return tip5_fast::Permutation<>{LOOKUP_TABLE_GLOBAL};
}

__device__ __forceinline__ void tip5_permutation(uint64_t* state)
{
    tip5::permutation(state, tip5::Tables{ROUND_CONSTANTS, MDS_COEFF, LOOKUP_TABLE});
}

// Inlined where it is used: what the tree-building kernels run, each at a handful of sites.
struct InlinePermutation {
    __device__ void operator()(uint64_t* state) const { tip5_permutation(state); }
};

// One out-of-line copy for code that hashes at many sites (a sponge inlines a permutation at every
// absorb site, which made ptxas take minutes); a call costs only the state's trip through local
// memory, small against a permutation.
struct CalledPermutation {
    __device__ CRV_NOINLINE void operator()(uint64_t* state) const { tip5_permutation(state); }
};

// The fast permutation out of line, one copy per shape for every site of a kernel. Its state goes in
// and out by value, which the calling convention keeps in registers: a caller whose state words have
// fixed slots keeps them in registers too, where a pointer would send them through local memory.
struct CalledFastPermutation {
    struct State {
        uint64_t words[tip5::STATE_SIZE];
    };
    template <tip5::Shape S = tip5::Shape::full>
    __device__ static CRV_NOINLINE State permute(State state)
    {
        tip5_fast::permutation<tip5_fast::ARCH_MDS, S>(state.words, LOOKUP_TABLE_GLOBAL);
        return state;
    }
    template <tip5::Shape S>
    __device__ __forceinline__ void shaped(uint64_t* state) const
    {
        State s;
#pragma unroll
        for (int i = 0; i < tip5::STATE_SIZE; ++i) s.words[i] = state[i];
        s = permute<S>(s);
#pragma unroll
        for (int i = 0; i < tip5::STATE_SIZE; ++i) state[i] = s.words[i];
    }
    __device__ __forceinline__ void operator()(uint64_t* state) const { shaped<tip5::Shape::full>(state); }
};

// The fast permutation in form M with no shapes: every call site runs it whole, one out-of-line copy
// (a fifth of the shaped kernel's code). Mds::direct is the previous kernel's permutation.
template <tip5_fast::Mds M>
struct CalledWholePermutation {
    __device__ static CRV_NOINLINE CalledFastPermutation::State permute(CalledFastPermutation::State state)
    {
        tip5_fast::permutation<M>(state.words, LOOKUP_TABLE_GLOBAL);
        return state;
    }
    __device__ __forceinline__ void operator()(uint64_t* state) const
    {
        CalledFastPermutation::State s;
#pragma unroll
        for (int i = 0; i < tip5::STATE_SIZE; ++i) s.words[i] = state[i];
        s = permute(s);
#pragma unroll
        for (int i = 0; i < tip5::STATE_SIZE; ++i) state[i] = s.words[i];
    }
};
using CalledPreviousPermutation = CalledWholePermutation<tip5_fast::Mds::direct>;
using CalledCompactPermutation = CalledWholePermutation<tip5_fast::ARCH_MDS>;
