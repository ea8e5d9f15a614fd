// The puzzle request, and the canonical puzzle text that carries an accepted puzzle from the
// fetcher to the mining thread inside a NEW_PUZZLE event.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "pow/pow_puzzle.h"

// Appends the texts of "pow", "header" and "kernel" (each optional) from an "auth_paths" object.
// A list that is not an array, or an element that is not a string, raises the JSON library's type
// error; what was appended before it stays.
void read_auth_paths(const nlohmann::json& auth_paths, PowPuzzle::AuthPaths& out);

// {"RequestPuzzle":null}
nlohmann::json puzzle_request_message();

// Compact JSON, keys ascending, every member present and every value a string:
// {"auth_paths":{"header":[..],"kernel":[..],"pow":[..]},"id":..,"prev_block":..,"threshold":..,
//  "total_guesser_reward":..}
std::string canonical_puzzle_text(const PowPuzzle& puzzle);

// Reads a canonical puzzle text back. Never throws the JSON library's exceptions: on one it
// prints "JSON parsing error: " + its text on standard error and returns what was filled so far
// (paths, then threshold, reward, id, prev_block). A JSON value that is not an object gives an
// empty puzzle silently.
PowPuzzle parsePowPuzzle(const std::string& text);
