// The guesser buffer: the per-puzzle Merkle tree over 2^29 leaves, kept in device memory while the
// puzzle is mined, with its root and buffer hash, and its leaves too when the card has room for
// them (otherwise the kernels recompute them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "diag/gpu_status.h"
#include "gpu/runtime.h"
#include "hash/digest.h"
#include "pow/checked_puzzle.h"
#include "pow/pow.h"

struct GuesserBuffer {
    Digest merkle_root{};
    Digest final_hash{};        // H(merkle_root, commitment): the buffer hash
    PowMastPaths mast_paths{};  // the paths the tree was built from
    Digest* d_merkle_tree = nullptr;  // heap-ordered nodes 1..num_leafs-1, slot 0 zero; null: no buffer
    uint64_t merkle_tree_size = 0;    // Digest slots in d_merkle_tree
    Digest* d_leafs = nullptr;        // the first stored_leafs leaves; null: the kernels compute every leaf
    uint64_t stored_leafs = 0;        // the kernels build the leaves from this one on
    uint64_t num_leafs = 0;
    uint64_t tree_height = 0;         // levels below the root: num_leafs = 2^tree_height

    GuesserBuffer() = default;
    GuesserBuffer(const GuesserBuffer&) = delete;
    GuesserBuffer& operator=(const GuesserBuffer&) = delete;
    GuesserBuffer(GuesserBuffer&& other) noexcept;
    GuesserBuffer& operator=(GuesserBuffer&& other) noexcept;
    ~GuesserBuffer() { cleanup(); }

    // Frees the device arrays (a warning line for each free that fails) and empties them; the
    // digests and paths stay. Harmless on an empty buffer and when repeated.
    void cleanup();
};

// How the kernels have the buffer's leaves: "stored", "computed" or "partial 55%" (the share stored),
// and the same as the build's mode line says it.
std::string leaf_mode(const GuesserBuffer& buffer);
std::string leaf_mode_text(const GuesserBuffer& buffer);

// Whether `buffer` holds a tree of `tree_height` built from `paths`: a puzzle with the same paths
// mines on with it.
bool built_for(const GuesserBuffer& buffer, const PowMastPaths& paths, uint64_t tree_height);

// Builds the buffer of the puzzle's paths on the current device into `out` (what `out` held is
// destroyed), saying whether the leaves are stored. On failure prints "✗ GPU preprocessing failed!",
// leaves `out` as it was and returns false: with `status` failed when a runtime call failed, ok when
// the buffer does not fit the free memory.
bool buildGuesserBuffer(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry, GuesserBuffer& out,
                        GpuStatus& status);

// End-of-run teardown of the current device: frees `buffer`, synchronises, reports a pending
// error, resets the device and prints the memory left.
void cleanup_gpu_memory(GuesserBuffer& buffer);

// The build kernels' blocks, and the blocks a multiprocessor holds by their launch bounds: 2 of 128
// threads leave them 255 registers a thread, which every architecture builds without spills (at 3
// blocks, 168 registers, window_step_kernel spills 44-512 bytes on sm_86, sm_89, sm_90 and sm_120).
constexpr unsigned GUESSER_BLOCK_SIZE = 128;
constexpr unsigned GUESSER_MIN_BLOCKS = 2;
