#include "bridge/bridge_reply.h"

#include <iostream>

#include "bridge/puzzle_check.h"
#include "bridge/puzzle_message.h"
#include "bridge/text_prefix.h"
#include "diag/console_line.h"
#include "pow/pow_puzzle.h"

namespace {

constexpr std::size_t kLoggedIdCharacters = 16;

// A string member is kept as it is; any other JSON value as its compact text.
std::string member_text(const nlohmann::json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

BridgeReply acceptPuzzle(const nlohmann::json& puzzle_json, const std::string& last_puzzle_id, bool echo)
{
    BridgeReply result;
    const std::string id = puzzle_json.value("id", "");
    if (id.empty()) {
        if (echo) print_line(std::cout, "Puzzle from bridge has empty ID");
        result.outcome = ReplyOutcome::EMPTY_ID;
        return result;
    }
    PowPuzzle puzzle;
    puzzle.id = id;
    if (puzzle_json.contains("threshold")) {
        const nlohmann::json& threshold = puzzle_json.at("threshold");
        if (echo) print_line(std::cout, "🎯 Threshold: " + threshold.dump());
        puzzle.threshold = member_text(threshold);
    }
    if (puzzle_json.contains("total_guesser_reward")) {
        puzzle.total_guesser_reward = member_text(puzzle_json.at("total_guesser_reward"));
    }
    if (puzzle_json.contains("prev_block")) puzzle.prev_block = member_text(puzzle_json.at("prev_block"));
    if (puzzle_json.contains("auth_paths") && puzzle_json.at("auth_paths").is_object()) {
        read_auth_paths(puzzle_json.at("auth_paths"), puzzle.auth_paths);
    }

    // New work is recognised by its id alone.
    result.puzzle_id = id;
    if (id == last_puzzle_id) {
        result.outcome = ReplyOutcome::SAME_PUZZLE;
        return result;
    }
    print_line(std::cout, "");
    print_line(std::cout, "🔄 New puzzle detected from bridge! ID: " + text_prefix(id, kLoggedIdCharacters) + "...");
    // Refused before any GPU work: a bad text would build (and mine) a buffer for other paths.
    std::string refusal = checkPuzzleMembers(puzzle_json);
    if (refusal.empty()) refusal = checkPuzzle(puzzle, result.puzzle);
    if (!refusal.empty()) {
        print_line(std::cerr, "Error: puzzle " + text_prefix(id, kLoggedIdCharacters) + "... refused: " + refusal);
        result.outcome = ReplyOutcome::REFUSED;
        return result;
    }
    result.outcome = ReplyOutcome::NEW_PUZZLE;
    result.canonical_text = canonical_puzzle_text(puzzle);
    return result;
}

}  // namespace

BridgeReply acceptBridgeReply(const nlohmann::json& reply, const std::string& last_puzzle_id, bool echo)
{
    if (!reply.is_object() || reply.empty()) return {};

    const std::string type = reply.value("msg_type", "");
    if (type == "pow_puzzle_v1" && reply.contains("puzzle")) return acceptPuzzle(reply.at("puzzle"), last_puzzle_id, echo);
    BridgeReply result;
    if (type == "error") {
        const std::string message = reply.value("message", "Unknown error");
        if (message.find("No puzzle available") != std::string::npos) {
            result.outcome = ReplyOutcome::NO_PUZZLE_AVAILABLE;
            return result;
        }
        print_line(std::cerr, "Bridge error: " + message);
        result.outcome = ReplyOutcome::BRIDGE_ERROR;
        result.error = message;
    }
    return result;
}
