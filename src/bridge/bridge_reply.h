// The fetcher's side of a reply: a puzzle with a new id read and checked into the record the miner
// works on, bridge errors reported. The fetcher acts on the result (posts, remembers the id).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "pow/checked_puzzle.h"

enum class ReplyOutcome {
    IGNORED,              // empty reply, other message type, puzzle reply without "puzzle"
    EMPTY_ID,             // "Puzzle from bridge has empty ID" printed
    SAME_PUZZLE,          // id equals the last one announced: nothing else
    REFUSED,              // a new id whose texts cannot be mined: "Error: puzzle ... refused: " printed
    NEW_PUZZLE,           // a new id, announced and checked
    NO_PUZZLE_AVAILABLE,  // error reply the bridge sends while it has no work: nothing happens
    BRIDGE_ERROR,         // "Bridge error: " printed
};

struct BridgeReply {
    ReplyOutcome outcome = ReplyOutcome::IGNORED;
    std::string puzzle_id;       // NEW_PUZZLE, REFUSED and SAME_PUZZLE
    CheckedPuzzle puzzle;        // NEW_PUZZLE
    std::string canonical_text;  // NEW_PUZZLE: what the event carries as its text
    std::string error;           // BRIDGE_ERROR: the bridge's message
};

// Handles one reply (parse_reply_line). Call it for every complete line that has arrived
// (see CorvaneCudaMinerClient::has_buffered_line), so replies to solutions never leave the fetcher
// a line behind. Throws the JSON library's type error for a path element that is not a string;
// the fetcher's cycle guard reports it. `echo` false leaves out the traffic lines ("🎯 Threshold: ",
// "Puzzle from bridge has empty ID"); announcements, refusals and bridge errors are always printed.
BridgeReply acceptBridgeReply(const nlohmann::json& reply, const std::string& last_puzzle_id, bool echo = true);
