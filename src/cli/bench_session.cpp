#include "cli/bench_session.h"

#include <iostream>
#include <string>

#include "diag/console_line.h"
#include "miner/stop_signal.h"
#include "pow/solution_check.h"

MiningSession::Next BenchSession::after_batch(const CheckedPuzzle&, std::uint64_t candidates)
{
    candidates_ += candidates;
    if (stop_mining.load()) return Next::STOPPED;
    return candidates > 0 && Clock::now() >= deadline_ ? Next::STOPPED : Next::MINE;
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
