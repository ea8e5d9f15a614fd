// The nonce-search kernels and the device functions that assemble authentication paths from the
// guesser tree (mining_kernels.cu). Included by the .cu sources that launch them; under nvcc the
// device functions are callable from mining_kernels.cu only (no relocatable device code), under the
// emulator from anywhere.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "pow/pow.h"

// Tests one batch of candidates: thread g walks n = g, g + G, ... < num_nonces (G = all threads),
// forms the nonce digest [start_nonce + n, four Philox words], derives its two leaf indices
// (masked to min(tree_height, 29) bits), assembles the candidate from the tree and compares its
// fast MAST hash with the threshold, strictly below on element 0. The first hit claims
// *d_solution_found (0 -> 1) and writes the record: the nonce counter, the nonce digest and both
// paths as GUESSER_TREE_HEIGHT digests each (entries at tree_height and above are zero). The caller
// zeroes the flag, the nonce and the nonce digest before the launch.
__global__ void __launch_bounds__(256, 2)
    parallel_mining_kernel(const Digest* d_leafs, const Digest* d_merkle_tree, Digest final_hash, Digest threshold,
                           uint64_t start_nonce, uint64_t num_nonces, uint64_t num_leafs, uint64_t tree_height,
                           PowMastPaths mast_paths, uint64_t* d_solution_nonce, int* d_solution_found,
                           Digest* d_solution_path_a, Digest* d_solution_path_b, Digest* d_solution_nonce_digest);

// One block of one thread: the tree_height digests of the paths of index_a and index_b into path_a
// and path_b. Element 0 is always computed from `commitment`; d_leafs is not read.
__global__ void compute_merkle_paths_kernel(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                            uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                            Digest commitment, Digest* path_a, Digest* path_b);

// Authentication path of leaf `index`, tree_height digests into `path`:
//   element 0: leaf(index ^ 1), read from d_leafs when it is non-null, otherwise computed from
//              `commitment`; the zero digest when index ^ 1 >= num_leafs;
//   element j: node ((num_leafs + index) >> j) ^ 1 of d_merkle_tree; the zero digest when that node
//              number is 2^tree_height or more.
__device__ void compute_merkle_path(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index,
                                    uint64_t num_leafs, uint64_t tree_height, const Digest& commitment, Digest* path);

// Both paths, index_a into path_a and index_b into path_b, by the rule of compute_merkle_path.
__device__ void compute_merkle_paths(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                     uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                     const Digest& commitment, Digest* path_a, Digest* path_b);
