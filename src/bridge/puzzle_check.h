// The one reading of a puzzle's texts into the record the miner works on.
#pragma once

#include <string>

#include "pow/checked_puzzle.h"
#include "pow/pow_puzzle.h"

// Fills `out` and returns an empty text when `puzzle` can be mined. Otherwise returns the reason
// for the refusal line ("auth path pow[1] is not hexadecimal"): every used path entry (3 pow,
// 2 header, 1 kernel; missing ones are zero digests) must be hex text of at most 80 digits whose
// elements are canonical field elements, and a hex threshold must be hex text of at most 80 digits
// (an empty one is the zero digest; the "[e0,...,e4]" form is read as it is).
std::string checkPuzzle(const PowPuzzle& puzzle, CheckedPuzzle& out);
