// A proof-of-work puzzle as the bridge sends it: texts, converted to digests only where used.
#pragma once

#include <string>
#include <vector>

struct PowPuzzle {
    // Sibling digests (hex text) that connect the header's `pow` field to the block hash,
    // bottom level first. Only the first 3 / 2 / 1 entries are used.
    struct AuthPaths {
        std::vector<std::string> pow;
        std::vector<std::string> header;
        std::vector<std::string> kernel;

        bool operator==(const AuthPaths& other) const
        {
            return pow == other.pow && header == other.header && kernel == other.kernel;
        }
        bool operator!=(const AuthPaths& other) const { return !(*this == other); }
    };

    AuthPaths auth_paths;
    std::string threshold;             // hex or "[e0,...,e4]"
    std::string total_guesser_reward;  // as sent
    std::string id;                    // echoed back when submitting
    std::string prev_block;            // a change marks a new block

    bool operator==(const PowPuzzle& other) const
    {
        return auth_paths == other.auth_paths && threshold == other.threshold &&
               total_guesser_reward == other.total_guesser_reward && id == other.id &&
               prev_block == other.prev_block;
    }
    bool operator!=(const PowPuzzle& other) const { return !(*this == other); }
};
