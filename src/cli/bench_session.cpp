#include "cli/bench_session.h"

#include <iostream>
#include <string>
#include <utility>

#include "diag/console_line.h"
#include "miner/miner_session.h"
#include "miner/shared_state.h"
#include "pow/solution_check.h"

MiningSession::Next BenchSession::go_on() const
{
    return stop_requested() || lost_ || Clock::now() >= deadline_ ? Next::STOPPED : Next::MINE;
}

MiningSession::Next BenchSession::between_ranges(const CheckedPuzzle&, std::chrono::milliseconds)
{
    if (!std::exchange(started_, true) && !stop_requested() && !lost_) return Next::MINE;
    return go_on();
}

bool BenchSession::stop_requested() const
{
    return stop_mining.load();
}

MiningSession::Next BenchSession::after_batch(const CheckedPuzzle&, std::uint64_t candidates)
{
    candidates_ += candidates;
    return go_on();
}

MiningSession::Next BenchSession::solution_found(const CheckedPuzzle& puzzle, const Pow& pow)
{
    const std::string fault = checkSolution(buffer_, puzzle.threshold, pow);
    if (fault.empty()) {
        ++verified_;
        print_parts(std::cout, "✓ Bench hit at nonce ", pow.nonce[0], " verified on the host");
    } else {
        ++failed_;
        print_parts(std::cerr, "❌ Bench hit at nonce ", pow.nonce[0], " failed verification (", fault, ")");
    }
    return Next::MINE;
}

void BenchSession::device_lost(cudaError_t error)
{
    lost_ = true;
    stop_for_lost_device(error);
}
