#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bridge/event_handler.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

MiningEvent take(EventHandler& events)
{
    MiningEvent out;
    EXPECT_TRUE(events.waitForEvent(out, 0ms));
    return out;
}

TEST(MiningEvent, DefaultSlotIsAnErrorAndConstructionStampsTheTime)
{
    const MiningEvent empty;
    EXPECT_EQ(empty.type, EventType::ERROR);
    EXPECT_TRUE(empty.puzzle_id.empty());
    EXPECT_TRUE(empty.data.empty());

    const auto before = Clock::now();
    const MiningEvent event(EventType::SOLUTION_FOUND, "p1", "Nonce: 42");
    const auto after = Clock::now();
    EXPECT_EQ(event.type, EventType::SOLUTION_FOUND);
    EXPECT_EQ(event.puzzle_id, "p1");
    EXPECT_EQ(event.data, "Nonce: 42");
    EXPECT_LE(before, event.timestamp);
    EXPECT_LE(event.timestamp, after);

    EXPECT_EQ(static_cast<int>(EventType::NEW_PUZZLE), 0);
    EXPECT_EQ(static_cast<int>(EventType::STOP_MINING), 2);
    EXPECT_EQ(static_cast<int>(EventType::ERROR), 3);
}

TEST(EventHandler, TakesInPostingOrderAndARepostGoesToTheBack)
{
    EventHandler events;
    events.postEvent(MiningEvent(EventType::NEW_PUZZLE, "a", "{}"));
    events.postEvent(MiningEvent(EventType::NEW_PUZZLE, "b", "{}"));
    const MiningEvent first = take(events);
    EXPECT_EQ(first.puzzle_id, "a");

    events.postEvent(MiningEvent(EventType::ERROR, "", "c"));
    events.postEvent(first);  // the driver gives way to it: behind what came meanwhile

    EXPECT_EQ(take(events).puzzle_id, "b");
    EXPECT_EQ(take(events).data, "c");
    const MiningEvent again = take(events);
    EXPECT_EQ(again.type, EventType::NEW_PUZZLE);
    EXPECT_EQ(again.puzzle_id, "a");
    EXPECT_EQ(again.timestamp, first.timestamp);  // stored by copy

    MiningEvent out;
    EXPECT_FALSE(events.waitForEvent(out, 0ms));
}

TEST(EventHandler, EmptyQueueTimesOutAndLeavesOutAlone)
{
    EventHandler events;
    for (const std::chrono::milliseconds timeout : {100ms, 1000ms}) {
        MiningEvent out(EventType::STOP_MINING, "keep", "me");
        const auto stamp = out.timestamp;
        const auto start = Clock::now();
        EXPECT_FALSE(events.waitForEvent(out, timeout));
        EXPECT_GE(Clock::now() - start, timeout);
        EXPECT_EQ(out.type, EventType::STOP_MINING);
        EXPECT_EQ(out.puzzle_id, "keep");
        EXPECT_EQ(out.data, "me");
        EXPECT_EQ(out.timestamp, stamp);
    }
}

TEST(EventHandler, APostWakesTheWaiterAtOnce)
{
    EventHandler events;
    MiningEvent out;
    bool taken = false;
    Clock::duration waited{};
    std::thread waiter([&] {
        const auto start = Clock::now();
        taken = events.waitForEvent(out, 30s);
        waited = Clock::now() - start;
    });
    std::this_thread::sleep_for(50ms);
    events.postEvent(MiningEvent(EventType::STOP_MINING, "", "Signal 2"));
    waiter.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(out.data, "Signal 2");
    EXPECT_LT(waited, 10s);  // far below the 30 s limit: woken, not timed out

    // Posted while nobody waits: the next wait takes it without waiting.
    events.postEvent(MiningEvent(EventType::ERROR, "", "x"));
    EXPECT_EQ(take(events).data, "x");
}

TEST(EventHandler, ConcurrentPostersKeepTheirOwnOrder)
{
    EventHandler events;
    constexpr int kPosters = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&events, p] {
            for (int i = 0; i < kEach; ++i) {
                events.postEvent(MiningEvent(EventType::ERROR, std::to_string(p), std::to_string(i)));
            }
        });
    }
    std::vector<int> next(kPosters, 0);
    int received = 0;
    MiningEvent out;
    while (received < kPosters * kEach && events.waitForEvent(out, 10s)) {
        const int poster = std::stoi(out.puzzle_id);
        EXPECT_EQ(std::stoi(out.data), next[poster]);
        next[poster] = std::stoi(out.data) + 1;
        ++received;
    }
    for (std::thread& t : posters) t.join();
    EXPECT_EQ(received, kPosters * kEach);
    EXPECT_FALSE(events.waitForEvent(out, 0ms));
}

}  // namespace
