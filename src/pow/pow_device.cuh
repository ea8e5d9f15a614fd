// Device twins of the proof-of-work functions. Include from .cu files that hold kernels (after
// tip5_device.cuh's tables are in the translation unit, which this header brings in).
#pragma once

#include "hash/tip5_device.cuh"
#include "pow/pow_hash.h"

__device__ __forceinline__ pow_hash::TablePermutation device_permutation()
{
    return pow_hash::TablePermutation{device_tables()};
}

__device__ __forceinline__ void Pow_indices_device(const Digest& final_hash, const Digest& nonce, uint64_t& index_a,
                                                   uint64_t& index_b, uint64_t index_mask = GUESSER_INDEX_MASK)
{
    pow_hash::indices(final_hash, nonce, index_mask, index_a, index_b, device_permutation());
}

__device__ __forceinline__ Digest fast_mast_hash_device(const PowMastPaths& mast_paths, const Pow& pow)
{
    return pow_hash::fast_mast_hash(mast_paths, pow, device_permutation());
}

__device__ __forceinline__ Digest commit_device(const PowMastPaths& mast_paths)
{
    return pow_hash::commitment(mast_paths, device_permutation());
}

__device__ __forceinline__ Digest guesser_leaf_device(const Digest& commitment, uint64_t j, uint64_t num_leafs)
{
    return pow_hash::leaf(commitment, j, num_leafs, device_permutation());
}
