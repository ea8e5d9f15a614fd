// Tip5 states for comparing permutations: each edge value in every slot, edge values mixed across
// the slots, then random canonical states.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "hash/field.h"

namespace reference {

inline std::vector<uint64_t> permutation_states(size_t random_count, uint64_t seed)
{
    const uint64_t p = field::P;
    const uint64_t edges[] = {0, 1, p - 1, p - 2, 0xFFFFFFFFull, 1ull << 32, (1ull << 32) + 1, 1ull << 63,
                              0xFFFFFFFF00000000ull, 0xFFFFFFFE00000001ull, 0x8000000080000000ull};
    const size_t n_edges = sizeof(edges) / sizeof(edges[0]);
    std::vector<uint64_t> states;
    for (size_t e = 0; e < n_edges; ++e) states.insert(states.end(), 16, edges[e]);
    std::mt19937_64 rng(seed);
    for (size_t s = 0; s < 64; ++s)
        for (int i = 0; i < 16; ++i) states.push_back(edges[rng() % n_edges]);
    for (size_t s = 0; s < random_count * 16; ++s) states.push_back(rng() % p);
    return states;
}

}  // namespace reference
