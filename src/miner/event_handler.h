// The queue between the fetcher, the signal path, the mining session and the mining loop: FIFO,
// unbounded, events stored by copy. Only the main thread waits on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "miner/mining_event.h"

class EventHandler {
public:
    // Appends a copy at the back and wakes the waiter. Takes the lock: never call it from an
    // asynchronous signal handler.
    void postEvent(const MiningEvent& event);

    // Takes the front event into `out` and returns true; waits up to `timeout` (steady clock) for
    // one. Returns false with `out` untouched when none came in time.
    bool waitForEvent(MiningEvent& out, std::chrono::milliseconds timeout);

private:
    std::mutex mutex;  // guards `queue` for a single push or take only
    std::condition_variable condition;
    std::deque<MiningEvent> queue;
};

// `first`, a NEW_PUZZLE just taken, or the newest work queued behind it, taking all that is queued
// without waiting: a later NEW_PUZZLE replaces it, a STOP_MINING wins, anything else is dropped.
MiningEvent newest_work(EventHandler& queue, MiningEvent first);
