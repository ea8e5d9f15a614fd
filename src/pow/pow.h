// Proof-of-work records: the puzzle's paths as digests (`PowMastPaths`), a candidate (`Pow`), the
// commitment, the leaf-index derivation and the candidate's block hash ("fast MAST hash").
#pragma once

#include <cstdint>
#include <utility>

#include "hash/digest.h"
#include "pow/build_config.h"
#include "pow/pow_puzzle.h"

constexpr uint64_t GUESSER_TREE_HEIGHT = 29;
constexpr uint64_t GUESSER_INDEX_MASK = (uint64_t(1) << GUESSER_TREE_HEIGHT) - 1;

// Shape of a guesser tree and how it is built. The product always builds the default height; tests
// build small trees.
struct GuesserGeometry {
    uint64_t tree_height = GUESSER_TREE_HEIGHT;  // levels below the root, 1..GUESSER_TREE_HEIGHT
    GuesserBuildConfig build{};                  // leaf storage, scratch and launch sizes

    constexpr uint64_t num_leafs() const { return uint64_t(1) << tree_height; }
    constexpr bool valid() const { return tree_height >= 1 && tree_height <= GUESSER_TREE_HEIGHT && build.valid(); }
};

struct Pow;
struct GuesserBuffer;
class GpuStatus;

struct PowMastPaths {
    Digest pow[3];     // siblings of the `pow` leaf in the header's tree, bottom level first
    Digest header[2];  // siblings of the header leaf in the kernel's tree
    Digest kernel[1];  // sibling of the kernel leaf in the block's tree

    // Sequence hash of the 30 elements in member order.
    Digest commit() const;
    // Block hash of a candidate under these paths.
    Digest fast_mast_hash(const Pow& pow) const;
};

struct Pow {
    Digest root;
    Digest path_a[GUESSER_TREE_HEIGHT];
    Digest path_b[GUESSER_TREE_HEIGHT];
    Digest nonce;

    CRV_HD Pow() : root{}, path_a{}, path_b{}, nonce{} {}

    // The two leaf indices a nonce selects, (index_a, index_b). The mask is the tree's index width:
    // 29 bits for the product tree.
    static std::pair<uint64_t, uint64_t> indices(const Digest& final_hash, const Digest& nonce,
                                                 uint64_t index_mask = GUESSER_INDEX_MASK);

    // Builds the guesser tree of these paths on the current device (guesser_buffer.cu), storing the
    // leaves as the geometry's build config and the free memory decide. A default (empty) buffer on
    // failure, after one "[ERR][label] text" line, or one line saying what memory is missing.
    static GuesserBuffer preprocess_gpu(const PowMastPaths& mast_paths, const GuesserGeometry& geometry = {});
    // The same, keeping the first failed runtime call in `status` (it stays ok when the buffer does
    // not fit or the geometry is invalid).
    static GuesserBuffer preprocess_gpu(const PowMastPaths& mast_paths, const GuesserGeometry& geometry,
                                        GpuStatus& status);
};

static_assert(sizeof(PowMastPaths) == 240, "PowMastPaths is 30 packed field elements");
static_assert(sizeof(Pow) == 2400, "Pow is 300 packed field elements");

// Texts through hex_to_digest; missing entries stay zero, extra entries are ignored.
PowMastPaths convertToPowMastPaths(const PowPuzzle::AuthPaths& paths);
