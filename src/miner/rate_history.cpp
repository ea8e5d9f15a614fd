#include "miner/rate_history.h"

#include <algorithm>

namespace {

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

void RateHistory::add(Clock::time_point now, std::uint64_t total)
{
    if (!samples_.empty() && now <= samples_.back().first) return;
    if (total < last_total_) lost_ += last_total_ - total;
    last_total_ = total;
    const std::uint64_t count = total + lost_;

    if (samples_.empty()) {
        samples_.emplace_back(now, count);
        step_ends_.push_back(static_cast<double>(count));
        next_step_end_ = now + STEP;
        return;
    }
    // After a long gap only the last hour's steps matter: skip the others without walking them.
    const auto whole_steps = (now - next_step_end_) / STEP;
    if (whole_steps > static_cast<long long>(STEPS) + 1) {
        next_step_end_ += (whole_steps - static_cast<long long>(STEPS) - 1) * STEP;
        step_ends_.clear();
    }
    const auto [before, before_count] = samples_.back();
    const double gained = static_cast<double>(count - before_count);
    for (; next_step_end_ <= now; next_step_end_ += STEP) {
        step_ends_.push_back(static_cast<double>(before_count) +
                             gained * seconds(next_step_end_ - before) / seconds(now - before));
        if (step_ends_.size() > STEPS + 1) step_ends_.pop_front();
    }

    samples_.emplace_back(now, count);
    // Keep one sample at or before the longest window's start, to interpolate there.
    while (samples_.size() > 2 && samples_[1].first <= now - LONGEST_WINDOW) samples_.pop_front();
}

double RateHistory::count_at(Clock::time_point at) const
{
    const auto after = std::lower_bound(samples_.begin(), samples_.end(), at,
                                        [](const auto& sample, Clock::time_point t) { return sample.first < t; });
    if (after == samples_.begin()) return static_cast<double>(samples_.front().second);
    const auto& [t1, c1] = *after;
    const auto& [t0, c0] = *(after - 1);
    return static_cast<double>(c0) + static_cast<double>(c1 - c0) * seconds(at - t0) / seconds(t1 - t0);
}

double RateHistory::rate_over(Clock::duration window) const
{
    const auto [last, last_count] = samples_.back();
    const Clock::time_point from = std::max(last - window, samples_.front().first);
    if (from >= last) return 0;
    return (static_cast<double>(last_count) - count_at(from)) / seconds(last - from);
}

CandidateRates RateHistory::rates() const
{
    if (samples_.size() < 2) return {};
    return {rate_over(std::chrono::seconds(10)), rate_over(std::chrono::seconds(60)), rate_over(LONGEST_WINDOW)};
}

std::vector<double> RateHistory::history() const
{
    std::vector<double> rates;
    for (std::size_t i = 1; i < step_ends_.size(); ++i)
        rates.push_back((step_ends_[i] - step_ends_[i - 1]) / seconds(STEP));
    return rates;
}
