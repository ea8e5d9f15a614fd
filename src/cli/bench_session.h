// The bench's own mining session: no bridge and no event queue. It lets the search run until a
// deadline, counts the candidates and checks every hit on the host, then mines on.
#pragma once

#include <chrono>
#include <cstdint>

#include "mining/mining_session.h"
#include "pow/guesser_buffer.h"

class BenchSession : public MiningSession {
public:
    using Clock = std::chrono::steady_clock;

    // Hits are checked against `buffer`, the one being mined; it must outlive the session.
    explicit BenchSession(const GuesserBuffer& buffer) : buffer_(buffer) {}

    // The search ends at the first batch at or after `deadline`, or on a stop request; its first
    // batch runs even when the deadline has passed.
    void mine_until(Clock::time_point deadline) { deadline_ = deadline; }

    Next after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates) override;
    std::uint64_t& range_index() override { return range_index_; }
    // Checks the hit against the buffer and the puzzle's threshold, counts it as verified or failed
    // with one line, and mines on.
    Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) override;

    // Candidates of the batches that ran whole. A batch that found a hit is counted too.
    std::uint64_t candidates() const { return candidates_; }
    std::uint64_t verified() const { return verified_; }
    std::uint64_t failed() const { return failed_; }

private:
    const GuesserBuffer& buffer_;
    Clock::time_point deadline_{};
    std::uint64_t range_index_ = 0;
    std::uint64_t candidates_ = 0;
    std::uint64_t verified_ = 0;
    std::uint64_t failed_ = 0;
};
