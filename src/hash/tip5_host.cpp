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
    tip5::permutation(state, HOST_TABLES);
}

void tip5_sponge_init_host(uint64_t* state, Domain domain)
{
    tip5::sponge_init(state, domain);
}

void tip5_sponge_permutation_host(uint64_t* state)
{
    tip5::permutation(state, HOST_TABLES);
}

void tip5_sponge_absorb_chunk_host(uint64_t* state, const uint64_t* chunk, size_t n)
{
    tip5::sponge_absorb_chunk(state, chunk, n, HOST_TABLES);
}

void tip5_sponge_squeeze_host(const uint64_t* state, uint64_t* digest)
{
    tip5::sponge_squeeze(state, digest);
}

Tip5Digest tip5_hash_fixed_host(const Tip5Digest& left, const Tip5Digest& right)
{
    Tip5Digest out{};
    tip5::hash_pair(left.data(), right.data(), out.data(), HOST_TABLES);
    return out;
}

Tip5Digest tip5_hash_varlen_host(const uint64_t* elements, size_t n)
{
    Tip5Digest out{};
    tip5::hash_varlen(elements, n, out.data(), HOST_TABLES);
    return out;
}
