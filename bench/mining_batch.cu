#include "mining_batch.h"

#include "gpu/launch.h"
#include "mining/mining_kernels.h"

cudaError_t MiningBatchRunner::allocate()
{
    cudaError_t status = nonce_.allocate(1);
    if (status == cudaSuccess) status = found_.allocate(1);
    if (status == cudaSuccess) status = path_a_.allocate(GUESSER_TREE_HEIGHT);
    if (status == cudaSuccess) status = path_b_.allocate(GUESSER_TREE_HEIGHT);
    if (status == cudaSuccess) status = nonce_digest_.allocate(1);
    return status;
}

cudaError_t MiningBatchRunner::run(const GuesserBuffer& buffer, const Digest& threshold, uint64_t start_nonce,
                                   uint64_t count, unsigned grid, unsigned block, MiningKernel kernel, int& found)
{
    cudaError_t status = cudaMemset(found_.get(), 0, found_.bytes());
    if (status == cudaSuccess) status = cudaMemset(nonce_.get(), 0, nonce_.bytes());
    if (status == cudaSuccess) status = cudaMemset(nonce_digest_.get(), 0, nonce_digest_.bytes());
    if (status != cudaSuccess) return status;
    uint64_t height = 0;
    while ((uint64_t(1) << height) < buffer.num_leafs) ++height;
    MiningParams params{};
    params.d_leafs = buffer.d_leafs;
    params.stored_leafs = buffer.stored_leafs;
    params.d_merkle_tree = buffer.d_merkle_tree;
    params.num_leafs = buffer.num_leafs;
    params.tree_height = height;
    params.merkle_root = buffer.merkle_root;
    params.final_hash = buffer.final_hash;
    params.commitment = buffer.mast_paths.commit();
    params.mast_paths = buffer.mast_paths;
    params.threshold = threshold;
    params.start_nonce = start_nonce;
    params.num_nonces = count;
    params.d_solution_nonce = nonce_.get();
    params.d_solution_found = found_.get();
    params.d_solution_path_a = path_a_.get();
    params.d_solution_path_b = path_b_.get();
    params.d_solution_nonce_digest = nonce_digest_.get();
    gpu::launch(mining_kernel(kernel).function, dim3(grid), dim3(block), nullptr, params);
    status = cudaGetLastError();
    if (status == cudaSuccess) status = cudaDeviceSynchronize();
    if (status == cudaSuccess) status = cudaMemcpy(&found, found_.get(), sizeof(int), cudaMemcpyDeviceToHost);
    return status;
}
