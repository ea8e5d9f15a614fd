// The three Tip5 constant tables. The host copies live here as read-only data; the device copies
// (constant memory) are in tip5_device.cuh and are filled from the same lists.
#pragma once

#include <cstdint>

namespace tip5 {

constexpr int STATE_SIZE = 16;
constexpr int RATE = 10;
constexpr int CAPACITY = 6;
constexpr int NUM_ROUNDS = 5;
constexpr int DIGEST_LENGTH = 5;

struct Tables {
    const uint64_t* round_constants;  // NUM_ROUNDS * STATE_SIZE, round-major
    const uint32_t* mds_coefficients;  // first column of the circulant MDS matrix
    const uint8_t* lookup;             // byte S-box
};

}  // namespace tip5

inline constexpr uint64_t ROUND_CONSTANTS_HOST[tip5::NUM_ROUNDS * tip5::STATE_SIZE] = {
#include "hash/round_constants.inc"
};

inline constexpr uint32_t MDS_COEFF_HOST[tip5::STATE_SIZE] = {
#include "hash/mds_coefficients.inc"
};

inline constexpr uint8_t LOOKUP_TABLE_HOST[256] = {
#include "hash/lookup_table.inc"
};
