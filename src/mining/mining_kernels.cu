#include "mining/mining_kernels.h"

#include "mining/mining_hash.h"
#include "mining/philox.h"
#include "pow/pow_device.cuh"

namespace {

// The found flag as every thread polls it: a fresh read of device memory each time.
__device__ __forceinline__ int read_found_flag(const int* flag)
{
#if defined(CRV_EMULATOR)
    return __atomic_load_n(flag, __ATOMIC_RELAXED);  // emulated threads run on several host threads
#else
    return *static_cast<const volatile int*>(flag);
#endif
}

// The winner's path, as the Pow it is submitted in carries it.
template <typename Commitment>
__device__ __forceinline__ void store_pow_path(Digest* out, const mining::TreeView& tree, uint64_t index,
                                               const Commitment& commitment)
{
    for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j)
        out[j] = mining::pow_path_entry(tree, index, j, commitment, CalledPermutation{});
}

}  // namespace

__device__ void compute_merkle_path(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index,
                                    uint64_t num_leafs, uint64_t tree_height, const Digest& commitment, Digest* path)
{
    const mining::TreeView tree{d_leafs, d_merkle_tree, num_leafs, tree_height};
    mining::merkle_path(tree, index, tree_height, mining::GivenCommitment{commitment}, path, CalledPermutation{});
}

__device__ void compute_merkle_paths(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                     uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                     const Digest& commitment, Digest* path_a, Digest* path_b)
{
    compute_merkle_path(d_leafs, d_merkle_tree, index_a, num_leafs, tree_height, commitment, path_a);
    compute_merkle_path(d_leafs, d_merkle_tree, index_b, num_leafs, tree_height, commitment, path_b);
}

__global__ void compute_merkle_paths_kernel(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                            uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                            Digest commitment, Digest* path_a, Digest* path_b)
{
    (void)d_leafs;  // element 0 always comes from the commitment here
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    compute_merkle_paths(nullptr, d_merkle_tree, index_a, index_b, num_leafs, tree_height, commitment, path_a,
                         path_b);
}

__global__ void __launch_bounds__(256, 2)
    parallel_mining_kernel(const Digest* d_leafs, const Digest* d_merkle_tree, Digest final_hash, Digest threshold,
                           uint64_t start_nonce, uint64_t num_nonces, uint64_t num_leafs, uint64_t tree_height,
                           PowMastPaths mast_paths, uint64_t* d_solution_nonce, int* d_solution_found,
                           Digest* d_solution_path_a, Digest* d_solution_path_b, Digest* d_solution_nonce_digest)
{
    const uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    const CalledPermutation permute{};
    const mining::TreeView tree{d_leafs, d_merkle_tree, num_leafs, tree_height};
    philox::Stream random = philox::Stream::start(philox::MINING_SEED, g);
    const Digest root = load_digest(d_merkle_tree + 1);

    for (uint64_t n = g; n < num_nonces; n += stride) {
        if (read_found_flag(d_solution_found) != 0) return;
        const uint64_t counter = start_nonce + n;
        const Digest nonce = mining::nonce_digest(counter, random.next());
        const mining::CandidateHash candidate =
            mining::candidate_hash(tree, mast_paths, root, final_hash, nonce, permute);
        if (!digest_less_than_or_equal_device(candidate.hash, threshold)) continue;
        if (atomicCAS(d_solution_found, 0, 1) != 0) continue;  // another thread won; the flag ends this one

        atomicExch(reinterpret_cast<unsigned long long*>(d_solution_nonce), static_cast<unsigned long long>(counter));
        *d_solution_nonce_digest = nonce;
        const mining::RecomputedCommitment commitment{mast_paths};
        store_pow_path(d_solution_path_a, tree, candidate.index_a, commitment);
        store_pow_path(d_solution_path_b, tree, candidate.index_b, commitment);
        return;
    }
}
