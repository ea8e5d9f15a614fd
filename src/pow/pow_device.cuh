// Device twins of the proof-of-work functions, for kernels (after tip5_device.cuh's tables are in
// the translation unit, which this header brings in).
#pragma once

#include "hash/tip5_device.cuh"
#include "pow/pow_hash.h"

__device__ __forceinline__ void Pow_indices_device(const Digest& final_hash, const Digest& nonce, uint64_t& index_a,
                                                   uint64_t& index_b, uint64_t index_mask = GUESSER_INDEX_MASK)
{
    pow_hash::indices(final_hash, nonce, index_mask, index_a, index_b, CalledPermutation{});
}

__device__ __forceinline__ Digest fast_mast_hash_device(const PowMastPaths& mast_paths, const Pow& pow)
{
    return pow_hash::fast_mast_hash(mast_paths, pow, CalledPermutation{});
}
