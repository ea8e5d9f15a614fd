// The nonce-search kernels and the device functions that assemble authentication paths from the
// guesser tree (mining_kernels.cu). Included by the .cu sources that launch them; under nvcc the
// device functions are callable from mining_kernels.cu only (no relocatable device code), under the
// emulator from anywhere.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "hash/digest.h"
#include "mining/mining_kernel_choice.h"
#include "pow/pow.h"

// One launch of the nonce search: the tree, the puzzle, the batch and the solution record.
struct MiningParams {
    const Digest* d_leafs;        // the first stored_leafs leaves, or null: sibling leaves are built on the fly
    uint64_t stored_leafs;
    const Digest* d_merkle_tree;  // heap-ordered nodes, slot 1 the root
    uint64_t num_leafs;           // 2^tree_height
    uint64_t tree_height;
    Digest merkle_root;           // node 1
    Digest final_hash;            // the buffer hash
    Digest commitment;            // mast_paths.commit(): what built leaves start from
    PowMastPaths mast_paths;
    Digest threshold;
    uint64_t start_nonce;  // counter of the batch's first candidate
    uint64_t num_nonces;   // candidates in the batch
    uint64_t* d_solution_nonce;
    int* d_solution_found;
    Digest* d_solution_path_a;  // GUESSER_TREE_HEIGHT digests each
    Digest* d_solution_path_b;
    Digest* d_solution_nonce_digest;
};

// Tests one batch of candidates: thread g walks n = g, g + G, ... < num_nonces (G = all threads),
// forms the nonce digest [start_nonce + n, four Philox words], derives its two leaf indices
// (masked to min(tree_height, 29) bits), assembles the candidate from the tree and compares its
// fast MAST hash with the threshold, strictly below on element 0. The first hit claims
// *d_solution_found (0 -> 1) and writes the record: the nonce counter, the nonce digest and both
// paths as GUESSER_TREE_HEIGHT digests each (entries at tree_height and above are zero). The caller
// zeroes the flag, the nonce and the nonce digest before the launch.
// parallel_mining_kernel runs the fast permutation in the form of its architecture, one out-of-line
// copy per hash shape, and builds leaves from params.commitment (228 permutations a candidate, 102
// with stored leaves); parallel_mining_kernel_previous is that kernel before the MDS forms and the
// shapes (the same permutations, each whole, the MDS on the multiplier); parallel_mining_kernel_reference
// is the first kernel: today's permutation, the commitment recomputed for every built leaf (236);
// parallel_mining_kernel_compact is the fast kernel without the shapes (one copy of its permutation,
// every call whole). All find the same hits.
//
// Launch bounds from each architecture's ptxas figures (scripts/kernel-stats.sh, and CUDA 12.9's in
// scripts/cuda12-check.sh): 128 threads a block, and as many blocks as keep the kernel free of
// spills. Registers are had per sub-partition: 3 warps on each (3 blocks) leave 168 registers a
// thread, 2 leave 255. The fast kernel's out-of-line permutations take what the bound leaves them
// (ptxas spreads them for parallelism), so at 168 it spills 44-128 bytes around its calls on every
// architecture; at 255 it takes 210-252 and spills nothing. The previous kernel ran at 3 blocks, and
// spills 4-16 bytes there now on sm_80 - sm_90 (8 and 120 before on sm_100 and sm_120). Both run
// 2 blocks everywhere; the reference kernel keeps the first kernel's bounds (and its spills).
constexpr int MINING_BLOCK_SIZE = 128;
constexpr int MINING_MIN_BLOCKS = 2;
constexpr int REFERENCE_MINING_BLOCK_SIZE = 256;
constexpr int REFERENCE_MINING_MIN_BLOCKS = 2;

__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS) parallel_mining_kernel(MiningParams params);
__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS)
    parallel_mining_kernel_previous(MiningParams params);
__global__ void __launch_bounds__(REFERENCE_MINING_BLOCK_SIZE, REFERENCE_MINING_MIN_BLOCKS)
    parallel_mining_kernel_reference(MiningParams params);
__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS)
    parallel_mining_kernel_compact(MiningParams params);

struct MiningKernelChoice {
    void (*function)(MiningParams);
    int max_block_size;  // its launch bound
};
MiningKernelChoice mining_kernel(MiningKernel kernel);

// The paths of two leaves, as the validation test asks for them.
struct MerklePathsParams {
    const Digest* d_merkle_tree;
    uint64_t num_leafs;  // 2^tree_height
    uint64_t tree_height;
    Digest commitment;
    uint64_t index_a, index_b;
    Digest* path_a;  // tree_height digests each
    Digest* path_b;
};

// One block of one thread: the tree_height digests of the paths of index_a and index_b into path_a
// and path_b, element 0 always built from `commitment`.
__global__ void compute_merkle_paths_kernel(MerklePathsParams params);

// Authentication path of leaf `index`, tree_height digests into `path`:
//   element 0: leaf(index ^ 1), read from d_leafs when it is non-null, otherwise built from
//              `commitment`; the zero digest when index ^ 1 >= num_leafs;
//   element j: node ((num_leafs + index) >> j) ^ 1 of d_merkle_tree; the zero digest when that node
//              number is 2^tree_height or more.
__device__ void compute_merkle_path(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index,
                                    uint64_t num_leafs, uint64_t tree_height, const Digest& commitment, Digest* path);

// Both paths, index_a into path_a and index_b into path_b, by the rule of compute_merkle_path.
__device__ void compute_merkle_paths(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                     uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                     const Digest& commitment, Digest* path_a, Digest* path_b);
