// What the threads tell each other through the event queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "pow/checked_puzzle.h"

enum class EventType : std::int32_t {
    NEW_PUZZLE = 0,      // puzzle_id: the id; data: the canonical puzzle text; puzzle: its checked record
    SOLUTION_FOUND = 1,  // puzzle_id: the puzzle mined; data: "Nonce: " + decimal nonce
    STOP_MINING = 2,     // puzzle_id empty; data: "Signal " + decimal signal number
    ERROR = 3,           // puzzle_id empty; data: the error text; dropped by whoever takes it
};

struct MiningEvent {
    EventType type = EventType::ERROR;  // an untouched slot never reads as puzzle, solution or stop
    std::string puzzle_id;
    std::string data;
    std::chrono::steady_clock::time_point timestamp = std::chrono::steady_clock::now();
    std::shared_ptr<const CheckedPuzzle> puzzle;  // NEW_PUZZLE: what is mined; the text is for the log

    MiningEvent() = default;
    MiningEvent(EventType type, std::string puzzle_id, std::string data,
                std::shared_ptr<const CheckedPuzzle> puzzle = nullptr)
        : type(type), puzzle_id(std::move(puzzle_id)), data(std::move(data)), puzzle(std::move(puzzle))
    {
    }
};
