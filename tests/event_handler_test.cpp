// The event queue, and how the running miner's session reads it for the nonce search.
#include <gtest/gtest.h>

#include <thread>

#include "miner/miner_session.h"
#include "miner/shared_state.h"
#include "support/captured_output.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EventHandler, FirstInFirstOutAndAPostWakesTheWaiter)
{
    EXPECT_EQ(MiningEvent().type, EventType::ERROR);  // an untouched slot is never work
    EventHandler events;
    MiningEvent out(EventType::STOP_MINING, "keep", "");
    for (const auto timeout : {100ms, 1000ms}) {  // an empty queue times out and leaves `out` alone
        const auto start = Clock::now();
        EXPECT_FALSE(events.waitForEvent(out, timeout));
        EXPECT_GE(Clock::now() - start, timeout);
        EXPECT_EQ(out.puzzle_id, "keep");
    }
    std::thread poster([&] { events.postEvent(MiningEvent(EventType::NEW_PUZZLE, "0", "a")); });
    const auto start = Clock::now();
    EXPECT_TRUE(events.waitForEvent(out, 30s));
    EXPECT_LT(Clock::now() - start, 10s);  // woken, not timed out
    poster.join();
    std::vector<std::thread> posters;  // each poster's events in its own order
    for (int p = 1; p < 4; ++p)
        posters.emplace_back([&events, p] {
            for (int i = 0; i < 500; ++i) events.postEvent(MiningEvent(EventType::ERROR, std::to_string(p), std::to_string(i)));
        });
    int next[4] = {0, 0, 0, 0}, received = 0;
    for (; received < 1500 && events.waitForEvent(out, 10s); ++received)
        EXPECT_EQ(std::stoi(out.data), next[std::stoi(out.puzzle_id)]++);
    for (std::thread& t : posters) t.join();
    EXPECT_EQ(received, 1500);
}

TEST(MinerSession, TheQueueDecidesHowTheSearchGoesOn)
{
    event_handler = std::make_unique<EventHandler>();
    CheckedPuzzle mined;
    mined.prev_block = "block-1";
    auto on_block = [](const std::string& block) {
        auto puzzle = std::make_shared<CheckedPuzzle>();
        puzzle->prev_block = block;
        return MiningEvent(EventType::NEW_PUZZLE, block, "{}", puzzle);
    };
    using Next = MiningSession::Next;
    const std::vector<std::tuple<MiningEvent, Next, std::string>> cases = {  // event, verdict, output
        {MiningEvent(EventType::SOLUTION_FOUND, "p", "Nonce: 1"), Next::SOLVED, ""},
        {MiningEvent(EventType::STOP_MINING, "", "Signal 2"), Next::STOPPED, ""},
        {MiningEvent(EventType::ERROR, "", "hiccup"), Next::MINE, ""},
        {on_block("block-1"), Next::MINE, ""},  // same block: dropped, the search goes on
        {on_block("block-2"), Next::GIVE_WAY, "\n🔄 New puzzle detected during mining, switching...\n"}};
    MinerSession session;
    for (const auto& [event, next, out] : cases) {
        event_handler->postEvent(event);
        event_handler->postEvent(MiningEvent(EventType::ERROR, "", "later"));
        Next verdict = Next::MINE;
        EXPECT_EQ(support::capture_output([&] { verdict = session.between_ranges(mined, 0ms); }).out, out);
        EXPECT_EQ(verdict, next) << event.puzzle_id;
        std::string left;  // the event given way to goes behind what was there
        for (MiningEvent e; event_handler->waitForEvent(e, 0ms);) left += e.data + e.puzzle_id + ",";
        EXPECT_EQ(left, next == Next::GIVE_WAY ? "later,{}block-2," : "later,");
    }
    const auto start = Clock::now();
    EXPECT_EQ(session.between_ranges(mined, 100ms), Next::MINE);  // nothing came within the wait
    EXPECT_GE(Clock::now() - start, 100ms);
    event_handler.reset();
}

}  // namespace
