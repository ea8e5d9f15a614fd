// What the miner shows the outside: one plain record the application fills in (about once a
// second) and publishes on a board, and that the HTTP API reads. Readers never touch the cards'
// threads, only the last published copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Candidates per second over the last 10 s, 60 s and 15 min (or since the start, when shorter).
struct CandidateRates {
    double last_10s = 0;
    double last_60s = 0;
    double last_15min = 0;

    CandidateRates& operator+=(const CandidateRates& other)
    {
        last_10s += other.last_10s;
        last_60s += other.last_60s;
        last_15min += other.last_15min;
        return *this;
    }
};

struct SolutionCounts {
    std::uint64_t found = 0;                // hits that passed the host check
    std::uint64_t submitted = 0;            // solution lines handed to the bridge
    std::uint64_t failed_verification = 0;  // hits the host check refuted, never sent

    SolutionCounts& operator+=(const SolutionCounts& other)
    {
        found += other.found;
        submitted += other.submitted;
        failed_verification += other.failed_verification;
        return *this;
    }
};

// The bridge's answers to sent solutions; a verdict line that reads as neither accepted nor
// rejected counts in `received` only.
struct VerdictCounts {
    std::uint64_t received = 0;
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
};

// Where a card stands. `paused`: held back on purpose, too hot for --temp-limit.
enum class CardState { building, mining, no_buffer, paused, out };

inline const char* card_state_name(CardState state)
{
    switch (state) {
    case CardState::building: return "building";
    case CardState::mining: return "mining";
    case CardState::no_buffer: return "no buffer";
    case CardState::paused: return "paused";
    case CardState::out: return "out";
    }
    return "unknown";
}

// Read from the driver when the card can tell; an empty field is not known.
struct CardTelemetry {
    std::optional<double> core_temperature_c;
    std::optional<double> memory_temperature_c;
    std::optional<double> power_w;
    std::optional<double> fan_percent;
    std::optional<double> sm_clock_mhz;
    std::optional<double> memory_clock_mhz;
    std::optional<double> candidates_per_joule;  // the last 10 s's rate over the power drawn
};

struct CardSnapshot {
    int index = 0;           // the device index, as --gpu names it
    std::string name;        // "NVIDIA GeForce RTX 4090"
    std::string pci_bus_id;  // "0000:01:00.0"
    CardState state = CardState::building;
    std::string leaf_mode;  // "stored", "computed" (later "partial 55%"); empty before the first build
    std::uint64_t candidates = 0;
    SolutionCounts solutions;
    std::optional<double> last_build_s;  // the last guesser buffer's build time
    CandidateRates rates;
    std::vector<double> history;  // candidates/s of each 10-s step of the last hour, oldest first
    CardTelemetry telemetry;
};

struct BridgeSnapshot {
    std::string address;  // "127.0.0.1:5002"
    bool connected = false;
    std::uint64_t reconnects = 0;
};

struct PuzzleSnapshot {
    std::string short_id;  // the puzzle id's first 16 characters
    std::string block;     // the previous block's first 16 characters
    double since = 0;      // Unix time in seconds when mining it began
};

struct MinerSnapshot {
    std::string version;
    double started_at = 0;  // Unix time in seconds
    double taken_at = 0;    // Unix time in seconds when the application made this record
    bool stopping = false;  // the stop was requested: the process is shutting down
    BridgeSnapshot bridge;
    std::optional<PuzzleSnapshot> puzzle;  // none until the bridge announced one
    VerdictCounts verdicts;
    std::vector<CardSnapshot> cards;  // in the order mined (--gpu)

    std::uint64_t candidates() const
    {
        std::uint64_t sum = 0;
        for (const CardSnapshot& card : cards) sum += card.candidates;
        return sum;
    }
    SolutionCounts solutions() const
    {
        SolutionCounts sum;
        for (const CardSnapshot& card : cards) sum += card.solutions;
        return sum;
    }
    CandidateRates rates() const
    {
        CandidateRates sum;
        for (const CardSnapshot& card : cards) sum += card.rates;
        return sum;
    }
};

// The last published snapshot. The application publishes whole records; a reader gets the record
// of one publication, never a mix of two, and holds no lock while it uses it.
class SnapshotBoard {
public:
    using Clock = std::chrono::steady_clock;

    struct Reading {
        std::shared_ptr<const MinerSnapshot> snapshot;  // never null: an empty record before the first
        std::uint64_t sequence = 0;                     // publications so far; 0: none yet
        Clock::time_point published;                    // when the last one came
    };

    void publish(MinerSnapshot snapshot)
    {
        auto next = std::make_shared<const MinerSnapshot>(std::move(snapshot));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_.swap(next);
            ++sequence_;
            published_ = Clock::now();
        }
        // `next` holds the previous record now: freed here, outside the lock, unless a reader still has it
    }

    Reading read() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return {current_, sequence_, published_};
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const MinerSnapshot> current_ = std::make_shared<const MinerSnapshot>();
    std::uint64_t sequence_ = 0;
    Clock::time_point published_ = Clock::now();
};
