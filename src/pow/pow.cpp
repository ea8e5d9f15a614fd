#include "pow/pow.h"

#include <algorithm>

#include "hash/tip5_host.h"
#include "pow/pow_hash.h"

PowMastPaths convertToPowMastPaths(const PowPuzzle::AuthPaths& paths)
{
    PowMastPaths out{};
    for (size_t i = 0; i < std::min<size_t>(3, paths.pow.size()); ++i) out.pow[i] = hex_to_digest(paths.pow[i]);
    for (size_t i = 0; i < std::min<size_t>(2, paths.header.size()); ++i)
        out.header[i] = hex_to_digest(paths.header[i]);
    if (!paths.kernel.empty()) out.kernel[0] = hex_to_digest(paths.kernel[0]);
    return out;
}

Digest PowMastPaths::commit() const
{
    return pow_hash::commitment(*this, HOST_PERMUTATION);
}

Digest PowMastPaths::fast_mast_hash(const Pow& candidate) const
{
    return pow_hash::fast_mast_hash(*this, candidate, HOST_PERMUTATION);
}

std::pair<uint64_t, uint64_t> Pow::indices(const Digest& final_hash, const Digest& nonce, uint64_t index_mask)
{
    uint64_t a = 0, b = 0;
    pow_hash::indices(final_hash, nonce, index_mask, a, b, HOST_PERMUTATION);
    return {a, b};
}
