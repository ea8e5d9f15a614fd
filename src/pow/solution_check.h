// The host's own check of a hit the GPU reported, before it leaves the miner: an unstable card or
// a corrupted tree must not reach the bridge as a solution.
#pragma once

#include <string>

#include "hash/digest.h"
#include "pow/guesser_buffer.h"
#include "pow/pow.h"

// Recomputes, with the host functions only, what the candidate claims: the root is the buffer's,
// the nonce counter is a canonical field element, the two leaves its nonce selects fold with their
// paths up to that root (entries above the tree are zero), and its block hash lies at or below
// the threshold. About 400 permutations. Returns "" when all holds, else what failed first, e.g.
// "path_b does not lead to the root".
std::string checkSolution(const GuesserBuffer& buffer, const Digest& threshold, const Pow& pow);
