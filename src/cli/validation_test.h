// The --test mode: builds the guesser buffer of the built-in paths, recomputes the paths of the
// start nonce's two leaves on the GPU and checks them, the buffer and the block hash against the
// built-in expectations.
#pragma once

#include "cli/test_data.h"
#include "pow/pow.h"

// Runs the test on GPU `gpu`. Returns the exit status: 0 when every comparison matched, 1 when any
// mismatched, -1 (reported by the process as 255) without a device, for a GPU index that does not
// exist, or when the buffer could not be built.
int runValidationTest(int gpu);

// The same sequence on a tree of another height with expectations for that tree.
int runValidationTest(int gpu, const GuesserGeometry& geometry, const TestData::Expected& expected);
