// Test launchers that run the device twins of the hashing code over arrays, so tests can compare
// them with the host functions (on the emulator in CI, on a real GPU in the GPU check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gpu/runtime.h"

namespace test_kernels {

// Permutes each 16-word state in place on the device.
cudaError_t tip5_permutations(std::vector<uint64_t>& states);
// Pair hash of (left[i], right[i]) for 5-word digests laid out back to back.
cudaError_t tip5_pair_hashes(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right,
                             std::vector<uint64_t>& out);
// Variable-length hash of `count` elements starting at i * stride for each i.
cudaError_t tip5_varlen_hashes(const std::vector<uint64_t>& elements, size_t stride, size_t count,
                               std::vector<uint64_t>& out);

struct FieldResults {
    std::vector<uint64_t> sum, mont_product, reduced;
};
// field::add(a, b), field::mont_mul(a, b) and field::reduce128(a, b) on the device.
cudaError_t field_ops(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, FieldResults& out);

// digest_less_than_or_equal_device(a[i], b[i]) as 0/1.
cudaError_t digest_comparisons(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b,
                               std::vector<uint32_t>& out);

}  // namespace test_kernels
