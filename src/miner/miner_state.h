// What the miner's threads share, in one owner that the application creates and hands down: the
// event queue, the bridge client, the solution counts and outbox, the range index of the block being
// mined and how the process must end. Only `stop_mining` (stop_signal.h) stays process-wide, since a
// signal handler sets it. Each member says which thread writes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/client.h"
#include "miner/event_handler.h"
#include "miner/miner_snapshot.h"
#include "miner/solution_outbox.h"

// The exit status of a process that stops because no card is left to mine: a supervisor restarts it,
// and a fresh process may find the cards working again.
constexpr int NO_CARD_LEFT_EXIT_STATUS = 3;
// The exit status of a process that stops because a card hangs (a batch outlived the watchdog): a
// running kernel cannot be cancelled, only the end of the process frees the card.
constexpr int HUNG_CARD_EXIT_STATUS = 4;

class MinerState {
public:
    MinerState() : solution_outbox(*this) {}
    MinerState(const MinerState&) = delete;
    MinerState& operator=(const MinerState&) = delete;

    // The queue between the fetcher, the stop path and the mining loop.
    EventHandler event_handler;
    // The one bridge connection; replaced and destroyed only under `targets_mutex`, where the stop
    // path reaches it from its own thread.
    std::unique_ptr<CorvaneCudaMinerClient> g_corvane_miner_client;
    std::mutex targets_mutex;
    SolutionOutbox solution_outbox;

    std::string last_puzzle_id;      // fetcher thread only
    std::string current_prev_block;  // mining loop only
    // From --nonce-offset; written before any other thread exists.
    std::uint64_t cli_nonce_offset = 0;
    // The next nonce range of the block being mined: reset by the mining loop on a new block and
    // moved past every range the cards started. Mining loop only.
    std::uint64_t global_nonce_offset = 0;

    std::atomic<std::uint64_t> total_solutions_found{0};               // verified on the host
    std::atomic<std::uint64_t> total_solutions_submitted{0};           // handed to the bridge
    std::atomic<std::uint64_t> total_solutions_failed_verification{0};  // never submitted
    std::atomic<bool> bridge_connected{false};                          // the fetcher's to write
    std::atomic<std::uint64_t> bridge_reconnects{0};                    // connections made again after a loss
    // The bridge's answers to sent solutions: all of them, and those that read as accepted or rejected.
    std::atomic<std::uint64_t> verdicts_received{0};
    std::atomic<std::uint64_t> verdicts_accepted{0};
    std::atomic<std::uint64_t> verdicts_rejected{0};

    // What the outside (the HTTP API) reads: the last snapshot the status reporter published.
    SnapshotBoard board;

    // Stops the process with `exit_status` (the first caller's status wins): one line, then the stop
    // runs in its usual order.
    void stop_with_status(int exit_status, const std::string& line);
    // 0, or the status a stop_with_status asked for.
    int exit_status() const { return exit_status_.load(); }

    // Sets `stop_mining`, ends the client's receive wait in progress and wakes every sleep that ends
    // on a stop. Posts no event.
    void request_stop();
    // The stop path's work for a signal, in order: "Received signal N. Shutting down gracefully...",
    // request_stop, the stop event, the session summary.
    void stop_from_signal(int signal_number);

private:
    std::atomic<int> exit_status_{0};
};
