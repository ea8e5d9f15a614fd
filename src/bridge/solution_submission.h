// Sending a found proof of work to the bridge: one "SubmitSolution" line, no verdict awaited.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/client.h"
#include "pow/pow.h"

struct SubmissionResult {
    bool success = false;      // the line was handed to the socket; says nothing of acceptance
    std::string request_json;  // the compact message sent, without its line feed; empty if none built
    std::string message;       // "Submitted to miner bridge", "Failed to send to miner bridge" or
                               // "Corvane miner client not initialized"
};

// A found Pow as the bridge receives it. Every digest is in its full 80-character form: the short
// form drops leading zero bytes and would not read back to the same digest.
struct SolutionTexts {
    std::string root;
    std::vector<std::string> path_a;
    std::vector<std::string> path_b;
    std::string nonce;
};
SolutionTexts solution_texts(const Pow& pow);

// {"SubmitSolution":{"pow":{"nonce":..,"path_a":[..],"path_b":[..],"root":..},"proposal_id":..}}
// The texts are placed unchanged (the caller pads the nonce).
nlohmann::json solution_message(const std::string& proposal_id, const std::string& root,
                                const std::vector<std::string>& path_a,
                                const std::vector<std::string>& path_b, const std::string& nonce);

// Sends through `client` (from any thread). A missing client and a failed send come back in the
// result; only a text that is not valid UTF-8 throws (the JSON library's error).
SubmissionResult submitPowSolutionToBridge(CorvaneCudaMinerClient* client, const std::string& proposal_id,
                                           const std::string& root,
                                           const std::vector<std::string>& path_a,
                                           const std::vector<std::string>& path_b,
                                           const std::string& nonce);
