#include "miner/shared_state.h"

std::atomic<bool> stop_mining{false};
std::unique_ptr<EventHandler> event_handler;
std::string last_puzzle_id;
std::string current_prev_block;
std::uint64_t cli_nonce_offset = 0;
std::uint64_t global_nonce_offset = 0;
std::atomic<std::uint64_t> total_solutions_found{0};
std::atomic<std::uint64_t> total_solutions_submitted{0};
std::atomic<std::uint64_t> total_solutions_failed_verification{0};
std::atomic<bool> bridge_connected{false};
std::atomic<int> device_lost_error{0};
