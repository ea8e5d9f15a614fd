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
template <typename Leaves, typename Permute>
__device__ __forceinline__ void store_pow_path(Digest* out, const mining::TreeView& tree, uint64_t index,
                                               const Leaves& leaves, const Permute& permute)
{
    for (uint64_t j = 0; j < GUESSER_TREE_HEIGHT; ++j) out[j] = mining::pow_path_entry(tree, index, j, leaves, permute);
}

// The search of one batch, over the leaves and the permutation a kernel chooses.
template <typename Leaves, typename Permute>
__device__ __forceinline__ void mine_batch(const MiningParams& p, const Leaves& leaves, const Permute& permute)
{
    const uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    const mining::TreeView tree{p.d_leafs, p.stored_leafs, p.d_merkle_tree, p.num_leafs, p.tree_height};
    philox::Stream random = philox::Stream::start(philox::MINING_SEED, g);

    for (uint64_t n = g; n < p.num_nonces; n += stride) {
        if (read_found_flag(p.d_solution_found) != 0) return;
        const uint64_t counter = p.start_nonce + n;
        const Digest nonce = mining::nonce_digest(counter, random.next());
        const mining::CandidateHash candidate =
            mining::candidate_hash(tree, p.mast_paths, p.merkle_root, p.final_hash, nonce, leaves, permute);
        if (!digest_less_than_or_equal_device(candidate.hash, p.threshold)) continue;
        if (atomicCAS(p.d_solution_found, 0, 1) != 0) continue;  // another thread won; the flag ends this one

        atomicExch(reinterpret_cast<unsigned long long*>(p.d_solution_nonce), static_cast<unsigned long long>(counter));
        *p.d_solution_nonce_digest = nonce;
        store_pow_path(p.d_solution_path_a, tree, candidate.index_a, leaves, permute);
        store_pow_path(p.d_solution_path_b, tree, candidate.index_b, leaves, permute);
        return;
    }
}

}  // namespace

__device__ void compute_merkle_path(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index,
                                    uint64_t num_leafs, uint64_t tree_height, const Digest& commitment, Digest* path)
{
    const mining::TreeView tree{d_leafs, d_leafs != nullptr ? num_leafs : 0, d_merkle_tree, num_leafs, tree_height};
    mining::merkle_path(tree, index, tree_height, mining::BuiltLeaves{commitment}, path, CalledFastPermutation{});
}

__device__ void compute_merkle_paths(const Digest* d_leafs, const Digest* d_merkle_tree, uint64_t index_a,
                                     uint64_t index_b, uint64_t num_leafs, uint64_t tree_height,
                                     const Digest& commitment, Digest* path_a, Digest* path_b)
{
    compute_merkle_path(d_leafs, d_merkle_tree, index_a, num_leafs, tree_height, commitment, path_a);
    compute_merkle_path(d_leafs, d_merkle_tree, index_b, num_leafs, tree_height, commitment, path_b);
}

__global__ void compute_merkle_paths_kernel(MerklePathsParams params)
{
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    compute_merkle_paths(nullptr, params.d_merkle_tree, params.index_a, params.index_b, params.num_leafs,
                         params.tree_height, params.commitment, params.path_a, params.path_b);
}

__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS) parallel_mining_kernel(MiningParams params)
{
    mine_batch(params, mining::BuiltLeaves{params.commitment}, CalledFastPermutation{});
}

__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS)
    parallel_mining_kernel_previous(MiningParams params)
{
    mine_batch(params, mining::BuiltLeaves{params.commitment}, CalledPreviousPermutation{});
}

__global__ void __launch_bounds__(REFERENCE_MINING_BLOCK_SIZE, REFERENCE_MINING_MIN_BLOCKS)
    parallel_mining_kernel_reference(MiningParams params)
{
    mine_batch(params, mining::ReferenceLeaves{params.mast_paths}, CalledPermutation{});
}

__global__ void __launch_bounds__(MINING_BLOCK_SIZE, MINING_MIN_BLOCKS)
    parallel_mining_kernel_compact(MiningParams params)
{
    mine_batch(params, mining::BuiltLeaves{params.commitment}, CalledCompactPermutation{});
}

MiningKernelChoice mining_kernel(MiningKernel kernel)
{
    switch (kernel) {
    case MiningKernel::compact:
        return {parallel_mining_kernel_compact, MINING_BLOCK_SIZE};
    case MiningKernel::previous:
        return {parallel_mining_kernel_previous, MINING_BLOCK_SIZE};
    case MiningKernel::reference:
        return {parallel_mining_kernel_reference, REFERENCE_MINING_BLOCK_SIZE};
    default:
        return {parallel_mining_kernel, MINING_BLOCK_SIZE};
    }
}
