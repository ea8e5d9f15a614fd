#include "pow/pow.h"

#include <algorithm>
#include <vector>

#include "pow/pow_hash.h"

namespace {

const pow_hash::TablePermutation HOST_PERMUTATION{HOST_TABLES};

void append(std::vector<uint64_t>& sequence, const Digest& digest)
{
    sequence.insert(sequence.end(), digest.elements, digest.elements + Digest::LENGTH);
}

Digest sequence_hash(const std::vector<uint64_t>& sequence)
{
    return Digest::from_words(tip5_hash_varlen_host(sequence.data(), sequence.size()));
}

}  // namespace

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
    std::vector<uint64_t> sequence;
    sequence.reserve(30);
    for (const Digest& d : pow) append(sequence, d);
    for (const Digest& d : header) append(sequence, d);
    append(sequence, kernel[0]);
    return sequence_hash(sequence);
}

Digest PowMastPaths::fast_mast_hash(const Pow& candidate) const
{
    std::vector<uint64_t> encoding;
    encoding.reserve(300);
    append(encoding, candidate.nonce);
    for (const Digest& d : candidate.path_b) append(encoding, d);
    for (const Digest& d : candidate.path_a) append(encoding, d);
    append(encoding, candidate.root);
    return pow_hash::fold_mast_paths(sequence_hash(encoding), *this, HOST_PERMUTATION);
}

std::pair<uint64_t, uint64_t> Pow::indices(const Digest& final_hash, const Digest& nonce, uint64_t index_mask)
{
    uint64_t a = 0, b = 0;
    pow_hash::indices(final_hash, nonce, index_mask, a, b, HOST_PERMUTATION);
    return {a, b};
}
