// The fetcher's side of a reply: announce a puzzle with a new id, report bridge errors.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "bridge/event_handler.h"

enum class ReplyOutcome {
    IGNORED,              // empty reply, other message type, puzzle reply without "puzzle"
    EMPTY_ID,             // "Puzzle from bridge has empty ID" printed
    SAME_PUZZLE,          // id equals last_puzzle_id: logged, nothing posted
    NEW_PUZZLE,           // NEW_PUZZLE posted, last_puzzle_id updated
    NO_PUZZLE_AVAILABLE,  // error reply the bridge sends while it has no work: nothing happens
    BRIDGE_ERROR,         // "Bridge error: " printed and an ERROR event posted
};

// Handles one reply from receive_message. Call it for every complete line that has arrived
// (see CorvaneCudaMinerClient::has_buffered_line), so replies to solutions never leave the fetcher
// a line behind. Fetcher thread only: `last_puzzle_id` is the fetcher's memory of the last
// announced id. Throws the JSON library's type error for a path element that is not a string;
// the fetcher's cycle guard reports it.
ReplyOutcome acceptBridgeReply(const nlohmann::json& reply, EventHandler& events, std::string& last_puzzle_id);
