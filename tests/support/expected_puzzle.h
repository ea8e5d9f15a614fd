// The independently computed 2^29-leaf guesser buffer of the built-in test paths
// (tests/data/test_puzzle_expected.txt).
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "hash/digest.h"

struct ExpectedPuzzle {
    Digest commitment{};
    Digest merkle_root{};
    Digest final_hash{};
    uint64_t index_a = 0, index_b = 0;  // of the start nonce
    std::map<uint64_t, std::vector<Digest>> paths;  // leaf index -> 29 digests
};

inline ExpectedPuzzle load_expected_puzzle(const std::string& path = std::string(CRV_TESTDATA_DIR) +
                                                                     "/test_puzzle_expected.txt")
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    ExpectedPuzzle expected;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        std::string hex;
        if (key == "commitment") {
            fields >> hex;
            expected.commitment = hex_to_digest(hex);
        } else if (key == "merkle_root") {
            fields >> hex;
            expected.merkle_root = hex_to_digest(hex);
        } else if (key == "final_hash") {
            fields >> hex;
            expected.final_hash = hex_to_digest(hex);
        } else if (key == "indices_of_start_nonce") {
            fields >> expected.index_a >> expected.index_b;
        } else if (key == "path") {
            uint64_t leaf = 0;
            size_t entry = 0;
            fields >> leaf >> entry >> hex;
            auto& p = expected.paths[leaf];
            if (p.size() <= entry) p.resize(entry + 1);
            p[entry] = hex_to_digest(hex);
        } else {
            throw std::runtime_error("unknown line in " + path + ": " + line);
        }
    }
    return expected;
}
