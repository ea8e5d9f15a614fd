// Host entry points of Tip5, reading the host copies of the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hash/digest.h"
#include "hash/tip5.h"

using Domain = tip5::Domain;

constexpr tip5::Tables HOST_TABLES{ROUND_CONSTANTS_HOST, MDS_COEFF_HOST, LOOKUP_TABLE_HOST};
constexpr tip5::TablePermutation HOST_PERMUTATION{HOST_TABLES};

void sbox_layer_host(const uint64_t* in, uint64_t* out);
void mds_layer_host(const uint64_t* in, uint64_t* out);
void round_constants_layer_host(int32_t round, const uint64_t* in, uint64_t* out);
void tip5_permutation_host(uint64_t* state);

void tip5_sponge_init_host(uint64_t* state, Domain domain);
void tip5_sponge_permutation_host(uint64_t* state);
void tip5_sponge_absorb_chunk_host(uint64_t* state, const uint64_t* chunk, size_t n);
void tip5_sponge_squeeze_host(const uint64_t* state, uint64_t* digest);

Tip5Digest tip5_hash_fixed_host(const Tip5Digest& left, const Tip5Digest& right);
Tip5Digest tip5_hash_varlen_host(const uint64_t* elements, size_t n);
