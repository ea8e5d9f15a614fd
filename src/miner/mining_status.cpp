#include "miner/mining_status.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "bridge/text_prefix.h"
#include "diag/console_line.h"
#include "miner/miner_state.h"

namespace {

std::string short_text(const std::string& text)
{
    return text_prefix(text, 16) + "...";
}

std::string two_decimals(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string clock_text(std::chrono::seconds elapsed)
{
    const long long s = elapsed.count();
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

}  // namespace

MiningStatus::MiningStatus(const MinerState& state, Clock::duration rate_window, Clock::time_point started)
    : state_(state), window_(std::max(rate_window, Clock::duration(1))), started_(started), windows_(1)
{
}

void MiningStatus::set_cards(const std::vector<int>& cards)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cards_ = cards;
    windows_.assign(std::max<std::size_t>(1, cards.size()), RateWindow{});
}

void MiningStatus::count_candidates(std::uint64_t candidates, Clock::time_point now, std::size_t slot)
{
    std::lock_guard<std::mutex> lock(mutex_);
    candidates_ += candidates;
    auto& slices = windows_.at(slot).slices;
    while (!slices.empty() && slices.front().first <= now - window_) slices.pop_front();
    if (!slices.empty() && now - slices.back().first < window_ / 60)
        slices.back().second += candidates;
    else
        slices.emplace_back(now, candidates);
}

void MiningStatus::set_card(std::size_t slot, Card state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.at(slot).state = state;
}

double MiningStatus::rate(const RateWindow& window, Clock::time_point now) const
{
    std::uint64_t recent = 0;
    for (const auto& [at, count] : window.slices)
        if (at > now - window_) recent += count;
    const double seconds = std::chrono::duration<double>(std::min(window_, now - started_)).count();
    return seconds > 0 ? static_cast<double>(recent) / seconds / 1e6 : 0.0;
}

void MiningStatus::set_puzzle(const std::string& id, const std::string& block)
{
    std::lock_guard<std::mutex> lock(mutex_);
    puzzle_id_ = id;
    block_ = block;
}

std::string MiningStatus::summary(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    double total = 0;
    std::string cards;
    std::size_t mining = 0;
    for (std::size_t slot = 0; slot < windows_.size(); ++slot) {
        const double card_rate = rate(windows_[slot], now);
        total += card_rate;
        if (cards_.size() < 2) continue;
        const Card state = windows_[slot].state;
        mining += state == Card::mining ? 1 : 0;
        cards += std::string(slot == 0 ? " (" : ", ") + "GPU " + std::to_string(cards_[slot]) + ": " +
                 (state == Card::out ? "out" : state == Card::no_buffer ? "no buffer" : two_decimals(card_rate));
    }
    if (!cards.empty())
        cards = " on " + std::to_string(mining) + " of " + std::to_string(cards_.size()) + " GPUs" + cards + ")";
    const std::string puzzle =
        puzzle_id_.empty() ? "no puzzle yet" : "puzzle " + short_text(puzzle_id_) + " on block " + short_text(block_);
    return two_decimals(total) + " M nonces/s" + cards + ", " + std::to_string(candidates_) + " candidates, solutions " +
           std::to_string(state_.total_solutions_found.load()) + " found / " + std::to_string(state_.total_solutions_submitted.load()) +
           " submitted / " + std::to_string(state_.total_solutions_failed_verification.load()) + " failed verification, " +
           puzzle + ", bridge " + (state_.bridge_connected.load() ? "connected" : "disconnected") + ", up " +
           clock_text(std::chrono::duration_cast<std::chrono::seconds>(now - started_));
}

StatusReporter::StatusReporter(const MiningStatus& status, std::chrono::milliseconds interval)
    : status_(status), interval_(std::max(interval, std::chrono::milliseconds(1))), thread_(&StatusReporter::run, this)
{
}

StatusReporter::~StatusReporter()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
    print_line(std::cout, "📊 Final status: " + status_.summary());
}

void StatusReporter::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return ending_; })) {
        lock.unlock();
        print_line(std::cout, "📊 Status: " + status_.summary());
        lock.lock();
    }
}
