#include "miner/miner_session.h"

#include <iostream>
#include <string>

#include "diag/console_line.h"
#include "miner/shared_state.h"
#include "miner/solution_outbox.h"
#include "miner/stop_signal.h"

MiningSession::Next MinerSession::between_ranges(const CheckedPuzzle& puzzle, std::chrono::milliseconds wait)
{
    MiningEvent event;
    if (!event_handler || !event_handler->waitForEvent(event, wait)) return Next::MINE;
    switch (event.type) {
    case EventType::SOLUTION_FOUND:
        return Next::SOLVED;
    case EventType::STOP_MINING:
        return Next::STOPPED;
    case EventType::NEW_PUZZLE:
        if (event.puzzle && event.puzzle->prev_block == puzzle.prev_block) return Next::MINE;
        print_line(std::cout, "\n🔄 New puzzle detected during mining, switching...");
        event_handler->postEvent(event);  // to the back: the mining loop takes it next
        return Next::GIVE_WAY;
    default:
        return Next::MINE;
    }
}

bool MinerSession::stop_requested() const
{
    return stop_mining.load();
}

MiningSession::Next MinerSession::after_batch(const CheckedPuzzle& puzzle, std::uint64_t)
{
    if (stop_requested()) return Next::STOPPED;
    return between_ranges(puzzle, std::chrono::milliseconds(0));
}

std::uint64_t& MinerSession::range_index()
{
    return global_nonce_offset;
}

void MinerSession::solution_found(const CheckedPuzzle& puzzle, const Pow& pow)
{
    total_solutions_found.fetch_add(1);
    // Queued before the bridge can know of it: whatever the bridge sends in answer comes behind it.
    if (event_handler)
        event_handler->postEvent(
            MiningEvent(EventType::SOLUTION_FOUND, puzzle.id, "Nonce: " + std::to_string(pow.nonce[0])));
    solution_outbox.deliver(puzzle.id, pow);
}

void MinerSession::pause(std::chrono::milliseconds duration)
{
    sleep_unless_stopped(duration);
}
