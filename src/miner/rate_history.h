// One card's candidate rates from its running candidate count, which the application samples
// (about once a second; any spacing works: the candidates between two samples are taken as
// evenly spread over the time between them).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "miner/miner_snapshot.h"

class RateHistory {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds STEP{10};
    static constexpr std::size_t STEPS = 360;  // the last hour
    static constexpr std::chrono::minutes LONGEST_WINDOW{15};

    // `total`: the card's candidates so far. A sample not later than the last one is ignored; a
    // total below the last one (the count started again) adds nothing.
    void add(Clock::time_point now, std::uint64_t total);

    // Over the windows that end at the last sample (or since the first, when that is shorter).
    CandidateRates rates() const;
    // The rate of each whole step since the first sample, the last STEPS of them, oldest first.
    // Steps are counted from the first sample.
    std::vector<double> history() const;

private:
    double count_at(Clock::time_point at) const;
    double rate_over(Clock::duration window) const;

    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;  // LONGEST_WINDOW and one before
    std::deque<double> step_ends_;  // the count where each step ended, STEPS + 1 at most
    Clock::time_point next_step_end_;
    std::uint64_t last_total_ = 0;  // as given
    std::uint64_t lost_ = 0;        // what the count lost when it started again
};
