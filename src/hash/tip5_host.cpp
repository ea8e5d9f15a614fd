#include "hash/tip5_host.h"

void sbox_layer_host(const uint64_t* in, uint64_t* out)
{
    tip5::sbox_layer(in, out, LOOKUP_TABLE_HOST);
}

void mds_layer_host(const uint64_t* in, uint64_t* out)
{
    tip5::mds_layer(in, out, MDS_COEFF_HOST);
}

void round_constants_layer_host(int32_t round, const uint64_t* in, uint64_t* out)
{
    tip5::round_constants_layer(round, in, out, ROUND_CONSTANTS_HOST);
}

void tip5_permutation_host(uint64_t* state)
{
    HOST_PERMUTATION(state);
}

void tip5_sponge_init_host(uint64_t* state, Domain domain)
{
    tip5::sponge_init(state, domain);
}

void tip5_sponge_permutation_host(uint64_t* state)
{
    HOST_PERMUTATION(state);
}

void tip5_sponge_absorb_chunk_host(uint64_t* state, const uint64_t* chunk, size_t n)
{
    tip5::sponge_absorb_chunk(state, chunk, n, HOST_PERMUTATION);
}

void tip5_sponge_squeeze_host(const uint64_t* state, uint64_t* digest)
{
    const Digest squeezed = tip5::sponge_squeeze(state);
    for (int i = 0; i < Digest::LENGTH; ++i) digest[i] = squeezed.elements[i];
}

Tip5Digest tip5_hash_fixed_host(const Tip5Digest& left, const Tip5Digest& right)
{
    return tip5::hash_pair(Digest::from_words(left), Digest::from_words(right), HOST_PERMUTATION).words();
}

Tip5Digest tip5_hash_varlen_host(const uint64_t* elements, size_t n)
{
    return tip5::hash_varlen(elements, n, HOST_PERMUTATION).words();
}
