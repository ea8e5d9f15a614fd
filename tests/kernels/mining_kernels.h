// Test launchers for the mining kernels and their device helpers (emulator in CI, a real GPU in the
// GPU check). Trees come from the host; every launch synchronises and reads its results back.
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/runtime.h"
#include "mining/philox.h"
#include "pow/pow.h"

namespace test_kernels {

// One batch of parallel_mining_kernel over a host tree, laid out as the driver does it.
struct MiningBatch {
    std::vector<Digest> nodes;  // d_merkle_tree, heap order
    const Digest* d_nodes = nullptr;  // a tree already on the device, used instead of `nodes`
    std::vector<Digest> leafs;  // d_leafs; empty passes null (leaves built on the fly)
    Digest final_hash{};
    Digest threshold{};
    uint64_t start_nonce = 0;
    uint64_t num_nonces = 0;
    uint64_t num_leafs = 0;
    uint64_t tree_height = 0;
    PowMastPaths mast_paths{};
    unsigned grid = 1;
    unsigned block = 1;
};

// The solution record after the launch. The flag, nonce and nonce digest start at zero; both
// paths start filled with PATH_FILL bytes, so entries the kernel does not write show.
struct MiningRecord {
    int found = 0;
    uint64_t nonce = 0;
    Digest nonce_digest{};
    std::vector<Digest> path_a;  // GUESSER_TREE_HEIGHT entries
    std::vector<Digest> path_b;
};
constexpr int PATH_FILL = 0xA5;

cudaError_t mine_batch(const MiningBatch& batch, MiningRecord& record);

// compute_merkle_paths_kernel on one block of one thread; `leafs` is passed as d_leafs when
// non-empty (the kernel must not read it).
cudaError_t merkle_paths(const std::vector<Digest>& nodes, const std::vector<Digest>& leafs, uint64_t index_a,
                         uint64_t index_b, uint64_t num_leafs, uint64_t tree_height, const Digest& commitment,
                         std::vector<Digest>& path_a, std::vector<Digest>& path_b);
// The same over a tree already on the device.
cudaError_t merkle_paths(const Digest* d_nodes, const std::vector<Digest>& leafs, uint64_t index_a, uint64_t index_b,
                         uint64_t num_leafs, uint64_t tree_height, const Digest& commitment,
                         std::vector<Digest>& path_a, std::vector<Digest>& path_b);

// Thread g of a grid x block launch draws `draws` times from its nonce-digest generator;
// out[g * draws + k] is its k-th draw.
cudaError_t philox_draws(unsigned grid, unsigned block, unsigned draws, std::vector<philox::Words>& out);

// The kernel's threshold test on the device: out[i] = hash[i] meets threshold[i].
cudaError_t threshold_tests(const std::vector<Digest>& hash, const std::vector<Digest>& threshold,
                            std::vector<uint8_t>& out);

}  // namespace test_kernels
