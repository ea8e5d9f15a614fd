// The status line a person can watch: the recent rate, what was tried and found, the puzzle, the
// bridge and the uptime. The mining thread feeds it; a reporter thread prints it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class MinerState;

class MiningStatus {
public:
    using Clock = std::chrono::steady_clock;

    // The solution counts and the bridge come from `state`.
    explicit MiningStatus(const MinerState& state, Clock::duration rate_window = std::chrono::seconds(60),
                          Clock::time_point started = Clock::now());

    // Before mining on several cards: their device indices; slot s below is cards[s].
    void set_cards(const std::vector<int>& cards);
    // A mining thread: the candidates of a batch that has just ended on card slot `slot`; the
    // puzzle now mined; whether a card mines it ("no buffer" when it could not build one, "out"
    // once its context is lost).
    enum class Card { mining, no_buffer, out };
    void count_candidates(std::uint64_t candidates, Clock::time_point now = Clock::now(), std::size_t slot = 0);
    void set_puzzle(const std::string& id, const std::string& block);
    void set_card(std::size_t slot, Card state);

    // "12.34 M nonces/s, 5000000 candidates, solutions 1 found / 1 submitted / 0 failed
    // verification, puzzle 0123456789abcdef... on block 89abcdef01234567..., bridge connected,
    // up 01:02:03". The rate counts the batches that ended within the last rate window (or since
    // the start, when that is shorter).
    // On several cards the rate reads "24.68 M nonces/s on 2 of 3 GPUs (GPU 0: 12.34, GPU 1: out,
    // GPU 2: 12.34)": the cards mining the puzzle, and each card's own rate or state.
    std::string summary(Clock::time_point now = Clock::now()) const;

private:
    // Candidates per 1/60 of the window, so its memory stays small however short the batches are.
    struct RateWindow {
        std::deque<std::pair<Clock::time_point, std::uint64_t>> slices;
        Card state = Card::mining;
    };
    double rate(const RateWindow& window, Clock::time_point now) const;  // M nonces/s, under mutex_

    const MinerState& state_;
    mutable std::mutex mutex_;
    const Clock::duration window_;
    const Clock::time_point started_;
    std::vector<int> cards_;           // empty: the one device
    std::vector<RateWindow> windows_;  // one per card slot
    std::uint64_t candidates_ = 0;
    std::string puzzle_id_;
    std::string block_;
};

// Prints "📊 Status: " + the summary every `interval` on its own thread while it lives, and
// "📊 Final status: " + the summary once when it is destroyed.
class StatusReporter {
public:
    StatusReporter(const MiningStatus& status, std::chrono::milliseconds interval);
    ~StatusReporter();
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;

private:
    void run();

    const MiningStatus& status_;
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread thread_;
};
