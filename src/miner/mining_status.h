// Where mining stands, kept per card by the cards' threads and read two ways: the status line a
// person watches, and the snapshot the application publishes for the HTTP API. A reporter thread
// samples it every second, publishes the snapshot and prints the status line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gpu/telemetry.h"
#include "miner/miner_snapshot.h"
#include "miner/rate_history.h"

class MinerState;

class MiningStatus {
public:
    using Clock = std::chrono::steady_clock;

    // The solution totals, the bridge and the stop come from `state`.
    explicit MiningStatus(const MinerState& state, Clock::time_point started = Clock::now());

    // Before mining: the cards, slot s being cards[s] (index, name and PCI bus id).
    void set_cards(const std::vector<CardSnapshot>& cards);
    void set_bridge(const std::string& address);
    void set_puzzle(const std::string& id, const std::string& block);

    // A card's thread: the candidates of a batch that has just ended; its state; its buffer built
    // (how it has its leaves, in how long); a hit of its own found, sent or refuted on the host.
    void count_candidates(std::size_t slot, std::uint64_t candidates);
    void set_card(std::size_t slot, CardState state);
    void card_built(std::size_t slot, const std::string& leaf_mode, double seconds);
    enum class Hit { found, submitted, failed_verification };
    void count_hit(std::size_t slot, Hit hit);

    // Where each card's sensors are read at every sample; none: the telemetry stays empty.
    void set_telemetry(std::unique_ptr<TelemetrySource> source);
    // A card's telemetry as last sampled.
    CardTelemetry telemetry(std::size_t slot) const;

    // Takes each card's count into its rates and reads its sensors; the reporter calls it before it
    // reads them.
    void sample(Clock::time_point now = Clock::now());

    // "12.34 M nonces/s, 5000000 candidates, solutions 1 found / 1 submitted / 0 failed
    // verification, puzzle 0123456789abcdef... on block 89abcdef01234567..., bridge connected,
    // up 01:02:03", the rate over the last 60 s as last sampled. On several cards the rate reads
    // "24.68 M nonces/s on 2 of 3 GPUs (GPU 0: 12.34, GPU 1: out, GPU 2: 12.34)": the cards mining
    // the puzzle, and each card's own rate or state. What a card's sensors tell follows its rate
    // (the rate of a single card) in brackets: "12.34 [65 °C, memory 80 °C, 220 W, fan 50%]".
    std::string summary(Clock::time_point now = Clock::now()) const;
    MinerSnapshot snapshot() const;

private:
    struct Card {
        CardSnapshot shown;
        RateHistory history;
    };

    const MinerState& state_;
    std::unique_ptr<TelemetrySource> telemetry_;  // the reporter's thread alone reads it
    const Clock::time_point started_;
    const double started_at_;  // Unix time
    mutable std::mutex mutex_;
    std::vector<Card> cards_;
    std::string bridge_;
    std::string puzzle_id_;
    std::string block_;
    double puzzle_since_ = 0;
};

// Every `publish_interval` on its own thread while it lives: samples the status, publishes its
// snapshot on `board` and, every `line_interval`, prints "📊 Status: " + the summary. When it is
// destroyed it publishes once more and prints "📊 Final status: " + the summary.
class StatusReporter {
public:
    StatusReporter(MiningStatus& status, SnapshotBoard& board, std::chrono::milliseconds line_interval,
                   std::chrono::milliseconds publish_interval = std::chrono::seconds(1));
    ~StatusReporter();
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;

private:
    void run();
    void publish();

    MiningStatus& status_;
    SnapshotBoard& board_;
    const std::chrono::milliseconds line_interval_;
    const std::chrono::milliseconds publish_interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread thread_;
};
