// A host Tip5 permutation that counts its calls, for stating the cost of the proof-of-work functions.
#pragma once

#include <cstdint>

#include "hash/tip5_host.h"

struct CountingPermutation {
    uint64_t* count;
    void operator()(uint64_t* state) const
    {
        ++*count;
        tip5::permutation(state, HOST_TABLES);
    }
};
