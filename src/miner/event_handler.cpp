#include "miner/event_handler.h"

void EventHandler::postEvent(const MiningEvent& event)
{
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(event);
    condition.notify_one();
}

bool EventHandler::waitForEvent(MiningEvent& out, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex);
    // The predicate form re-waits after a spurious wake-up for the rest of the time only.
    condition.wait_until(lock, deadline, [this] { return !queue.empty(); });
    if (queue.empty()) return false;
    out = queue.front();
    queue.pop_front();
    return true;
}

MiningEvent newest_work(EventHandler& queue, MiningEvent first)
{
    MiningEvent newest = std::move(first);
    for (MiningEvent next; queue.waitForEvent(next, std::chrono::milliseconds(0));) {
        const bool work = next.type == EventType::NEW_PUZZLE || next.type == EventType::STOP_MINING;
        if (work && newest.type != EventType::STOP_MINING) newest = std::move(next);
    }
    return newest;
}
