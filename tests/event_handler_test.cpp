// The event queue, and how the running miner's session reads it for the nonce search.
#include <gtest/gtest.h>

#include <thread>

#include "miner/miner_session.h"
#include "miner/shared_state.h"
#include "support/captured_output.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EventHandler, FirstInFirstOutByCopyAndARepostGoesToTheBack)
{
    EXPECT_EQ(MiningEvent().type, EventType::ERROR);  // an untouched slot is never work
    EventHandler events;
    const MiningEvent a(EventType::NEW_PUZZLE, "a", "{}");
    for (const MiningEvent& e : {a, MiningEvent(EventType::NEW_PUZZLE, "b", "{}"), MiningEvent(EventType::ERROR, "", "c")})
        events.postEvent(e);
    MiningEvent out;
    ASSERT_TRUE(events.waitForEvent(out, 0ms));
    events.postEvent(out);  // given way to: behind what came meanwhile
    std::string order;
    while (events.waitForEvent(out, 0ms)) order += out.puzzle_id + out.data;
    EXPECT_EQ(order, "b{}ca{}");
    EXPECT_EQ(out.timestamp, a.timestamp);

    for (const auto timeout : {100ms, 1000ms}) {  // an empty queue times out and leaves `out` alone
        const auto start = Clock::now();
        EXPECT_FALSE(events.waitForEvent(out, timeout));
        EXPECT_GE(Clock::now() - start, timeout);
        EXPECT_EQ(out.puzzle_id + out.data, "a{}");
    }
}

TEST(EventHandler, APostWakesTheWaiterAndConcurrentPostersKeepTheirOrder)
{
    EventHandler events;
    MiningEvent out;
    const auto start = Clock::now();
    std::thread poster([&] { events.postEvent(MiningEvent(EventType::STOP_MINING, "", "Signal 2")); });
    EXPECT_TRUE(events.waitForEvent(out, 30s));
    EXPECT_LT(Clock::now() - start, 10s);  // woken, not timed out
    poster.join();

    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p)
        posters.emplace_back([&events, p] {
            for (int i = 0; i < 500; ++i) events.postEvent(MiningEvent(EventType::ERROR, std::to_string(p), std::to_string(i)));
        });
    int next[4] = {0, 0, 0, 0}, received = 0;
    for (; received < 2000 && events.waitForEvent(out, 10s); ++received)
        EXPECT_EQ(std::stoi(out.data), next[std::stoi(out.puzzle_id)]++);
    for (std::thread& t : posters) t.join();
    EXPECT_EQ(received, 2000);
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
        const support::CapturedOutput o = support::capture_output([&] { verdict = session.between_ranges(mined, 0ms); });
        EXPECT_EQ(verdict, next) << event.puzzle_id;
        EXPECT_EQ(o.out + o.err, out);
        MiningEvent left;
        ASSERT_TRUE(event_handler->waitForEvent(left, 0ms));
        EXPECT_EQ(left.data, "later");
        const bool reposted = event_handler->waitForEvent(left, 0ms);  // given way to: behind what was there
        EXPECT_EQ(reposted, next == Next::GIVE_WAY);
        if (reposted) EXPECT_EQ(left.puzzle_id, "block-2");
    }
    const auto start = Clock::now();
    EXPECT_EQ(session.between_ranges(mined, 100ms), Next::MINE);  // nothing came within the wait
    EXPECT_GE(Clock::now() - start, 100ms);
    event_handler.reset();
}

}  // namespace
