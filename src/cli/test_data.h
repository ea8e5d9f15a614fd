// Fixed vectors of the validation test mode, rebuilt from their text forms on every call.
//
// The expected buffer, indices and paths are those of an independent CPU computation of the whole
// 2^29-leaf guesser buffer of the built-in paths; the expected fast MAST hash follows from them.
#pragma once

#include <array>
#include <cstdint>

#include "hash/digest.h"
#include "pow/guesser_buffer.h"
#include "pow/pow.h"

struct TestData {
    static constexpr int PATH_LENGTH = 29;
    using Path = std::array<Digest, PATH_LENGTH>;

    // What a correct build of the built-in paths gives for the start nonce.
    struct Expected {
        Digest buffer_hash{};
        Digest merkle_root{};
        uint64_t index_a = 0;
        uint64_t index_b = 0;
        Path path_a{};
        Path path_b{};
        Digest fast_mast_hash{};
    };

    static constexpr uint64_t EXPECTED_INDEX_A = 104760745;
    static constexpr uint64_t EXPECTED_INDEX_B = 164794829;

    static Digest get_target();
    static Digest get_start_nonce();
    static PowMastPaths get_mast_paths();
    static Digest get_expected_buffer_hash();
    static Digest get_expected_merkle_root();
    static Path get_expected_path_a();
    static Path get_expected_path_b();
    // The host fast MAST hash of the expected root, paths and start nonce under the built-in paths.
    static Digest get_expected_fast_mast_hash();
    static Expected get_expected();

    // The first-guess check of a built buffer: indices, both GPU paths and the fast MAST hash of
    // the start nonce against `expected`. True when every comparison matched.
    static bool print_first_guess_paths(const GuesserBuffer& buffer);
    static bool print_first_guess_paths(const GuesserBuffer& buffer, const Expected& expected);
};
