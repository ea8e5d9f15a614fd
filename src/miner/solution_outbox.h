// Solutions on their way to the bridge. One that cannot be sent (the bridge is away, or the send
// fails) is kept, the newest few and newest first, and sent once a reply shows that its puzzle is
// still the bridge's current one; kept ones of another puzzle are dropped then. One that was sent
// waits for the bridge's answer, which the fetcher logs as its verdict.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "bridge/solution_submission.h"
#include "pow/pow.h"

class MinerState;

class SolutionOutbox {
public:
    // Sends through the state's client while its bridge is connected, and counts what was sent.
    explicit SolutionOutbox(MinerState& state, std::size_t capacity = 4) : state_(state), capacity_(capacity) {}

    // Any thread (a card's, as a hit is found): sends it, or keeps it; `sent` is called once it is
    // handed to the bridge.
    void deliver(const std::string& puzzle_id, const Pow& pow, std::function<void()> sent = {});

    // Fetcher: a reply names `puzzle_id` as the bridge's current puzzle. Kept solutions of it are
    // sent, newest first; kept ones of any other puzzle can no longer count and are dropped.
    void puzzle_is_current(const std::string& puzzle_id);

    // Fetcher: the puzzle id of the oldest sent solution still waiting for an answer; false if none.
    bool take_awaiting(std::string& puzzle_id);

    // A new connection: answers to what went out on the old one will not come.
    void connection_replaced();

    std::size_t kept() const;

private:
    struct Solution {
        std::string puzzle_id;
        SolutionTexts texts;
        std::function<void()> sent;
    };
    void send_or_keep(const Solution& solution);
    void keep(const Solution& solution);  // under mutex_

    MinerState& state_;
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<Solution> kept_;            // newest first
    std::deque<std::string> awaiting_;     // oldest first
};
