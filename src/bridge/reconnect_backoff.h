// The waits between connection attempts: capped exponential backoff with jitter, so a restarted
// bridge is found again within seconds and a bridge that stays away is not hammered. Several
// miners that lost the same bridge at once spread their attempts instead of arriving together.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>

struct BackoffConfig {
    std::chrono::milliseconds first{1000};  // the wait before the second attempt
    std::chrono::milliseconds cap{30000};   // no wait is longer
    double jitter = 0.25;                   // each wait is shortened by up to this fraction, at random
};

class ReconnectBackoff {
public:
    explicit ReconnectBackoff(const BackoffConfig& config, std::uint64_t seed = std::random_device{}())
        : config_(config), random_(seed)
    {
    }

    // The wait after one more failed attempt: first, 2 first, 4 first, ... up to cap, less jitter.
    std::chrono::milliseconds next_wait()
    {
        const auto base = std::min(current_, config_.cap);
        current_ = std::min(current_ * 2, config_.cap);
        ++failures_;
        const double cut =
            config_.jitter > 0 ? std::uniform_real_distribution<double>(0.0, config_.jitter)(random_) : 0.0;
        return std::chrono::milliseconds(static_cast<std::int64_t>(static_cast<double>(base.count()) * (1.0 - cut)));
    }

    int failures() const { return failures_; }

    // A connection is up: the next loss starts from `first` again.
    void reset()
    {
        current_ = config_.first;
        failures_ = 0;
    }

private:
    BackoffConfig config_;
    std::mt19937_64 random_;
    std::chrono::milliseconds current_ = config_.first;
    int failures_ = 0;
};
