// Philox4x32-10 (the counter-based generator of cuRAND's Philox4_32_10), written once for host and
// device: cuRAND's device API does not exist under the emulator, and the host needs the same words
// to check a kernel's nonce digests.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"

namespace philox {

struct Words {
    uint32_t w[4];
};

constexpr uint32_t MULTIPLIER_0 = 0xD2511F53u;
constexpr uint32_t MULTIPLIER_1 = 0xCD9E8D57u;
constexpr uint32_t WEYL_0 = 0x9E3779B9u;
constexpr uint32_t WEYL_1 = 0xBB67AE85u;
constexpr int ROUNDS = 10;

// Ten rounds on counter (c0, c1, c2, c3) under key (k0, k1).
CRV_HD Words philox4x32_10(Words counter, uint32_t k0, uint32_t k1)
{
#pragma unroll
    for (int round = 0; round < ROUNDS; ++round) {
        const uint64_t p0 = static_cast<uint64_t>(MULTIPLIER_0) * counter.w[0];
        const uint64_t p1 = static_cast<uint64_t>(MULTIPLIER_1) * counter.w[2];
        const uint32_t hi0 = static_cast<uint32_t>(p0 >> 32), lo0 = static_cast<uint32_t>(p0);
        const uint32_t hi1 = static_cast<uint32_t>(p1 >> 32), lo1 = static_cast<uint32_t>(p1);
        counter = Words{{hi1 ^ counter.w[1] ^ k0, lo1, hi0 ^ counter.w[3] ^ k1, lo0}};
        k0 += WEYL_0;
        k1 += WEYL_1;
    }
    return counter;
}

// One generator as curand_init(seed, subsequence, 0) sets it up: key = the seed's two halves,
// counter = (0, 0, subsequence low, subsequence high); each draw returns the words of the current
// counter and then steps c0, carrying into c1, c2, c3.
struct Stream {
    Words counter;
    uint32_t k0, k1;

    CRV_HD static Stream start(uint64_t seed, uint64_t subsequence)
    {
        return Stream{Words{{0, 0, static_cast<uint32_t>(subsequence), static_cast<uint32_t>(subsequence >> 32)}},
                      static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
    }

    CRV_HD Words next()
    {
        const Words out = philox4x32_10(counter, k0, k1);
        for (int i = 0; i < 4; ++i)
            if (++counter.w[i] != 0) break;
        return out;
    }
};

// The generator seed of the nonce digests; subsequence = the thread's global index.
constexpr uint64_t MINING_SEED = 0xDEADBEEFull;

}  // namespace philox
