// Device entry points of Tip5. Each translation unit that holds kernels includes this header and
// gets its own constant-memory copies of the tables, initialised from the device image.
#pragma once

#include "hash/tip5.h"

static __constant__ uint64_t ROUND_CONSTANTS[tip5::NUM_ROUNDS * tip5::STATE_SIZE] = {
#include "hash/round_constants.inc"
};

static __constant__ uint32_t MDS_COEFF[tip5::STATE_SIZE] = {
#include "hash/mds_coefficients.inc"
};

static __constant__ uint8_t LOOKUP_TABLE[256] = {
#include "hash/lookup_table.inc"
};

__device__ __forceinline__ tip5::Tables device_tables()
{
    return tip5::Tables{ROUND_CONSTANTS, MDS_COEFF, LOOKUP_TABLE};
}

__device__ __forceinline__ void sbox_layer(const uint64_t* in, uint64_t* out)
{
    tip5::sbox_layer(in, out, LOOKUP_TABLE);
}

__device__ __forceinline__ void mds_layer(const uint64_t* in, uint64_t* out)
{
    tip5::mds_layer(in, out, MDS_COEFF);
}

__device__ __forceinline__ void round_constants_layer(int round, const uint64_t* in, uint64_t* out)
{
    tip5::round_constants_layer(round, in, out, ROUND_CONSTANTS);
}

__device__ __forceinline__ void tip5_permutation(uint64_t* state)
{
    tip5::permutation(state, device_tables());
}

__device__ __forceinline__ void tip5_hash_pair(const uint64_t* left, const uint64_t* right, uint64_t* out)
{
    tip5::hash_pair(left, right, out, device_tables());
}
