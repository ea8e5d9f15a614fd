// The test mode's recomputation of two authentication paths on the GPU.
#pragma once

#include <cstdint>

#include "cli/test_data.h"
#include "pow/guesser_buffer.h"

// Levels below the root of a built buffer (29 for the product tree).
uint64_t guesser_tree_height(const GuesserBuffer& buffer);

// Paths of leaves index_a and index_b of `buffer`, computed by compute_merkle_paths_kernel (one
// thread) and copied into zero-filled host paths. A failed call is reported ("[ERR][label] text");
// whatever could not be computed or copied stays zero and shows up as a mismatch.
void compute_test_paths(const GuesserBuffer& buffer, uint64_t index_a, uint64_t index_b, TestData::Path& path_a,
                        TestData::Path& path_b);
