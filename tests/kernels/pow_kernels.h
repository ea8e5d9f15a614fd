// Test launchers for the device twins of the proof-of-work functions (emulator in CI, a real GPU
// in the GPU check).
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/runtime.h"
#include "pow/pow.h"

namespace test_kernels {

// Pow_indices_device(final_hash[i], nonce[i]) into index_a[i], index_b[i].
cudaError_t pow_indices(const std::vector<Digest>& final_hash, const std::vector<Digest>& nonce, uint64_t index_mask,
                        std::vector<uint64_t>& index_a, std::vector<uint64_t>& index_b);
// fast_mast_hash_device(paths[i], pows[i]).
cudaError_t fast_mast_hashes(const std::vector<PowMastPaths>& paths, const std::vector<Pow>& pows,
                             std::vector<Digest>& out);
// commit_device(paths[i]).
cudaError_t commitments(const std::vector<PowMastPaths>& paths, std::vector<Digest>& out);

}  // namespace test_kernels
