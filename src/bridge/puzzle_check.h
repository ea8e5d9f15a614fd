// The one reading of a puzzle's texts into the record the miner works on.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "pow/checked_puzzle.h"
#include "pow/pow_puzzle.h"

// Fills `out` and returns an empty text when `puzzle` can be mined. Otherwise returns the reason
// for the refusal line ("auth path pow[1] is not hexadecimal"): the used path entries (3 pow,
// 2 header, 1 kernel) must all be there, each hex text of at most 80 digits whose elements are
// canonical field elements, and the threshold must be given, as hex text of at most 80 digits or
// in the "[e0,...,e4]" form. A puzzle mined without them could never give a valid solution.
std::string checkPuzzle(const PowPuzzle& puzzle, CheckedPuzzle& out);

// What the texts no longer show, read from the bridge's "puzzle" object before it becomes a
// PowPuzzle: "auth_paths" must be an object, and "threshold" text or an array (a number such as 1
// would read as the zero digest, which nothing meets). Empty when both are so; else the reason.
std::string checkPuzzleMembers(const nlohmann::json& puzzle);
