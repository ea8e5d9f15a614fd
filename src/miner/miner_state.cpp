#include "miner/miner_state.h"

#include <iostream>

#include "diag/console_line.h"
#include "miner/stop_signal.h"

void MinerState::stop_with_status(int exit_status, const std::string& line)
{
    int none = 0;
    if (!exit_status_.compare_exchange_strong(none, exit_status)) return;
    print_line(std::cerr, line);
    request_stop();
}

void MinerState::request_stop()
{
    stop_and_wake_sleepers();
    std::lock_guard<std::mutex> lock(targets_mutex);
    if (g_corvane_miner_client) g_corvane_miner_client->interrupt();
}

void MinerState::stop_from_signal(int signal_number)
{
    print_parts(std::cout, "\nReceived signal ", signal_number, ". Shutting down gracefully...");
    request_stop();
    event_handler.postEvent(MiningEvent(EventType::STOP_MINING, "", "Signal " + std::to_string(signal_number)));
    print_parts(std::cout, "\n=== MINING SESSION COMPLETED ===");
    print_parts(std::cout, "Total solutions found: ", total_solutions_found.load());
}
