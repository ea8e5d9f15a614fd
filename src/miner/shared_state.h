// Process-wide state the miner's threads share. Each has one writer (see the comments); none but
// the atomics may be touched from another thread once the threads run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "miner/event_handler.h"

// Set once by the stop request, never cleared; read each cycle/pass by the fetcher, the mining
// loop and the mining driver.
extern std::atomic<bool> stop_mining;

// Created (replacing a previous one) by the controller's start; null until then, and a stop
// request that finds it null posts nothing.
extern std::unique_ptr<EventHandler> event_handler;

// The fetcher's memory of the last announced puzzle id. Fetcher thread only.
extern std::string last_puzzle_id;

// The previous block of the puzzle last prepared. Main thread only.
extern std::string current_prev_block;

// From --nonce-offset, written before any other thread exists and never again.
extern std::uint64_t cli_nonce_offset;

// The next nonce range: set at start-up, reset by the mining loop on a new previous block,
// advanced by the mining driver. Main thread only once the threads run.
extern std::uint64_t global_nonce_offset;

// One more per solution found and verified on the host (main thread); read for the final report
// from the stop path, which may run on another thread.
extern std::atomic<std::uint64_t> total_solutions_found;
// One more per solution line handed to the bridge.
extern std::atomic<std::uint64_t> total_solutions_submitted;
// One more per hit the GPU reported that failed the host's check (never submitted).
extern std::atomic<std::uint64_t> total_solutions_failed_verification;

// Whether the bridge connection is up: set on connect, cleared on every detected failure.
extern std::atomic<bool> bridge_connected;

// The cudaError_t that lost the device's context, 0 while it works. Set once; the process then
// stops and ends with DEVICE_LOST_EXIT_STATUS so that a supervisor starts a fresh one.
extern std::atomic<int> device_lost_error;
constexpr int DEVICE_LOST_EXIT_STATUS = 3;
