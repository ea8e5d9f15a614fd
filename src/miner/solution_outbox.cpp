#include "miner/solution_outbox.h"

#include <algorithm>
#include <iostream>
#include <utility>
#include <vector>

#include "bridge/text_prefix.h"
#include "diag/console_line.h"
#include "miner/miner_state.h"

namespace {

std::string short_id(const std::string& id) { return text_prefix(id, 16) + "..."; }

}  // namespace

void SolutionOutbox::deliver(const std::string& puzzle_id, const Pow& pow, std::function<void()> sent)
{
    send_or_keep(Solution{puzzle_id, solution_texts(pow), std::move(sent)});
}

void SolutionOutbox::send_or_keep(const Solution& solution)
{
    // bridge_connected is the fetcher's to write; here it only spares a send that cannot work.
    if (state_.bridge_connected.load()) {
        {
            // Waiting before the line leaves: the answer may come back before send returns.
            std::lock_guard<std::mutex> lock(mutex_);
            awaiting_.push_back(solution.puzzle_id);
            if (awaiting_.size() > capacity_) awaiting_.pop_front();
        }
        const SolutionTexts& t = solution.texts;
        if (submitPowSolutionToBridge(state_.g_corvane_miner_client.get(), solution.puzzle_id, t.root, t.path_a, t.path_b, t.nonce).success) {
            state_.total_solutions_submitted.fetch_add(1);
            if (solution.sent) solution.sent();
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = std::find(awaiting_.rbegin(), awaiting_.rend(), solution.puzzle_id);
        if (it != awaiting_.rend()) awaiting_.erase(std::next(it).base());
    }
    print_line(std::cerr, "⚠️ Solution for puzzle " + short_id(solution.puzzle_id) +
                              " kept: the bridge is not connected; it is sent after the reconnect if its puzzle "
                              "is still current");
    std::lock_guard<std::mutex> lock(mutex_);
    keep(solution);
}

void SolutionOutbox::keep(const Solution& solution)
{
    kept_.push_front(solution);
    if (kept_.size() <= capacity_) return;
    print_line(std::cerr, "⚠️ Dropped the oldest kept solution (puzzle " + short_id(kept_.back().puzzle_id) +
                              "): at most " + std::to_string(capacity_) + " are kept");
    kept_.pop_back();
}

void SolutionOutbox::puzzle_is_current(const std::string& puzzle_id)
{
    std::vector<Solution> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Solution& solution : kept_) {
            if (solution.puzzle_id == puzzle_id)
                due.push_back(solution);
            else
                print_line(std::cerr, "⚠️ Dropped a kept solution of puzzle " + short_id(solution.puzzle_id) +
                                          ": the bridge has moved on to " + short_id(puzzle_id));
        }
        kept_.clear();
    }
    // Outside the lock: a send may take its time, and the mining thread may deliver meanwhile. One
    // that fails again is kept again (behind any newer one).
    for (const Solution& solution : due) send_or_keep(solution);
}

bool SolutionOutbox::take_awaiting(std::string& puzzle_id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (awaiting_.empty()) return false;
    puzzle_id = awaiting_.front();
    awaiting_.pop_front();
    return true;
}

void SolutionOutbox::connection_replaced()
{
    std::lock_guard<std::mutex> lock(mutex_);
    awaiting_.clear();
}

std::size_t SolutionOutbox::kept() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}
