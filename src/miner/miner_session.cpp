#include "miner/miner_session.h"

#include <iostream>
#include <string>

#include "diag/console_line.h"
#include "miner/shared_state.h"
#include "miner/solution_outbox.h"
#include "miner/stop_signal.h"
#include "pow/guesser_buffer.h"
#include "pow/solution_check.h"

MiningSession::Next MinerSession::between_ranges(const CheckedPuzzle& puzzle, std::chrono::milliseconds wait)
{
    MiningEvent event;
    if (!event_handler || !event_handler->waitForEvent(event, wait)) return Next::MINE;
    if (event.type == EventType::STOP_MINING) return Next::STOPPED;
    if (event.type != EventType::NEW_PUZZLE || event.puzzle_id == puzzle.id) return Next::MINE;
    const MiningEvent newest = newest_work(std::move(event));
    if (newest.type == EventType::NEW_PUZZLE) print_line(std::cout, "\n🔄 New puzzle detected during mining, switching...");
    event_handler->postEvent(newest);  // the mining loop takes it next
    return newest.type == EventType::STOP_MINING ? Next::STOPPED : Next::GIVE_WAY;
}

bool MinerSession::stop_requested() const
{
    return stop_mining.load();
}

MiningSession::Next MinerSession::after_batch(const CheckedPuzzle& puzzle, std::uint64_t candidates)
{
    status_.count_candidates(candidates);
    if (stop_requested()) return Next::STOPPED;
    return between_ranges(puzzle, std::chrono::milliseconds(0));
}

std::uint64_t& MinerSession::range_index()
{
    return global_nonce_offset;
}

MiningSession::Next MinerSession::solution_found(const CheckedPuzzle& puzzle, const Pow& pow)
{
    if (!verified_hit(current_buffer.get(), puzzle, pow)) return Next::MINE;
    deliver_solution(puzzle, pow);
    return Next::SOLVED;
}

bool verified_hit(const GuesserBuffer* buffer, const CheckedPuzzle& puzzle, const Pow& pow)
{
    const std::string fault = buffer ? checkSolution(*buffer, puzzle.threshold, pow) : "no guesser buffer is installed";
    if (fault.empty()) return true;
    total_solutions_failed_verification.fetch_add(1);
    print_parts(std::cerr, "⚠️ Hit at nonce ", pow.nonce[0], " failed verification (", fault, "): not submitted");
    return false;
}

void deliver_solution(const CheckedPuzzle& puzzle, const Pow& pow)
{
    total_solutions_found.fetch_add(1);
    solution_outbox.deliver(puzzle.id, pow);
}

void MinerSession::device_lost(cudaError_t error)
{
    stop_for_lost_device(error);
}

void MinerSession::pause(std::chrono::milliseconds duration)
{
    sleep_unless_stopped(duration);
}

MiningEvent newest_work(MiningEvent first)
{
    MiningEvent newest = std::move(first);
    for (MiningEvent next; event_handler && event_handler->waitForEvent(next, std::chrono::milliseconds(0));) {
        const bool work = next.type == EventType::NEW_PUZZLE || next.type == EventType::STOP_MINING;
        if (work && newest.type != EventType::STOP_MINING) newest = std::move(next);
    }
    return newest;
}

void stop_for_lost_device(cudaError_t error)
{
    int none = 0;
    if (!device_lost_error.compare_exchange_strong(none, static_cast<int>(error))) return;
    print_parts(std::cerr, "❌ The GPU's context is lost (", cudaGetErrorString(error),
                "): nothing more can run on it in this process; stopping with exit status ",
                DEVICE_LOST_EXIT_STATUS, " so that the miner can be restarted");
    request_stop();
}
