// Fixed vectors of the validation test mode, rebuilt from their text forms on every call.
#pragma once

#include <array>

#include "hash/digest.h"
#include "pow/pow.h"

struct TestData {
    static constexpr int PATH_LENGTH = 29;
    using Path = std::array<Digest, PATH_LENGTH>;

    static Digest get_target();
    static Digest get_start_nonce();
    static PowMastPaths get_mast_paths();
    static Path get_expected_path_a();
    static Path get_expected_path_b();
};
