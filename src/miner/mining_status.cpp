#include "miner/mining_status.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "bridge/text_prefix.h"
#include "diag/console_line.h"
#include "miner/miner_state.h"
#include "miner/miner_version.h"
#include "miner/stop_signal.h"

namespace {

std::string short_text(const std::string& text)
{
    return text_prefix(text, 16);
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

double unix_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

MiningStatus::MiningStatus(const MinerState& state, Clock::time_point started)
    : state_(state), started_(started), started_at_(unix_now()), cards_(1)
{
    cards_[0].history.add(started_, 0);
}

void MiningStatus::set_cards(const std::vector<CardSnapshot>& cards)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.assign(cards.size(), Card{});
    for (std::size_t slot = 0; slot < cards.size(); ++slot) {
        cards_[slot].shown = cards[slot];
        cards_[slot].history.add(started_, 0);
    }
}

void MiningStatus::set_bridge(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bridge_ = address;
}

void MiningStatus::set_puzzle(const std::string& id, const std::string& block)
{
    std::lock_guard<std::mutex> lock(mutex_);
    puzzle_id_ = id;
    block_ = block;
    puzzle_since_ = unix_now();
}

void MiningStatus::count_candidates(std::size_t slot, std::uint64_t candidates)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(slot).shown.candidates += candidates;
}

void MiningStatus::set_card(std::size_t slot, CardState state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(slot).shown.state = state;
}

void MiningStatus::card_built(std::size_t slot, const std::string& leaf_mode, double seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(slot).shown.leaf_mode = leaf_mode;
    cards_.at(slot).shown.last_build_s = seconds;
}

void MiningStatus::count_hit(std::size_t slot, Hit hit)
{
    std::lock_guard<std::mutex> lock(mutex_);
    SolutionCounts& counts = cards_.at(slot).shown.solutions;
    ++(hit == Hit::found ? counts.found : hit == Hit::submitted ? counts.submitted : counts.failed_verification);
}

void MiningStatus::sample(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Card& card : cards_) {
        card.history.add(now, card.shown.candidates);
        card.shown.rates = card.history.rates();
    }
}

std::string MiningStatus::summary(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    double total = 0;
    std::uint64_t candidates = 0;
    std::string cards;
    std::size_t mining = 0;
    for (std::size_t slot = 0; slot < cards_.size(); ++slot) {
        const CardSnapshot& card = cards_[slot].shown;
        const double rate = card.rates.last_60s / 1e6;
        total += rate;
        candidates += card.candidates;
        if (cards_.size() < 2) continue;
        mining += card.state == CardState::mining ? 1 : 0;
        const bool mines = card.state == CardState::mining || card.state == CardState::building;
        cards += std::string(slot == 0 ? " (" : ", ") + "GPU " + std::to_string(card.index) + ": " +
                 (mines ? two_decimals(rate) : card_state_name(card.state));
    }
    if (!cards.empty())
        cards = " on " + std::to_string(mining) + " of " + std::to_string(cards_.size()) + " GPUs" + cards + ")";
    const std::string puzzle = puzzle_id_.empty() ? "no puzzle yet"
                                                  : "puzzle " + short_text(puzzle_id_) + "... on block " +
                                                        short_text(block_) + "...";
    return two_decimals(total) + " M nonces/s" + cards + ", " + std::to_string(candidates) + " candidates, solutions " +
           std::to_string(state_.total_solutions_found.load()) + " found / " +
           std::to_string(state_.total_solutions_submitted.load()) + " submitted / " +
           std::to_string(state_.total_solutions_failed_verification.load()) + " failed verification, " + puzzle +
           ", bridge " + (state_.bridge_connected.load() ? "connected" : "disconnected") + ", up " +
           clock_text(std::chrono::duration_cast<std::chrono::seconds>(now - started_));
}

MinerSnapshot MiningStatus::snapshot() const
{
    MinerSnapshot s;
    s.version = MINER_VERSION;
    s.started_at = started_at_;
    s.taken_at = unix_now();
    s.stopping = stop_mining.load();
    s.bridge.connected = state_.bridge_connected.load();
    s.bridge.reconnects = state_.bridge_reconnects.load();
    s.verdicts.received = state_.verdicts_received.load();
    s.verdicts.accepted = state_.verdicts_accepted.load();
    s.verdicts.rejected = state_.verdicts_rejected.load();
    std::lock_guard<std::mutex> lock(mutex_);
    s.bridge.address = bridge_;
    if (!puzzle_id_.empty()) s.puzzle = PuzzleSnapshot{short_text(puzzle_id_), short_text(block_), puzzle_since_};
    for (const Card& card : cards_) {
        s.cards.push_back(card.shown);
        s.cards.back().history = card.history.history();
    }
    return s;
}

StatusReporter::StatusReporter(MiningStatus& status, SnapshotBoard& board, std::chrono::milliseconds line_interval,
                               std::chrono::milliseconds publish_interval)
    : status_(status), board_(board), line_interval_(std::max(line_interval, std::chrono::milliseconds(1))),
      publish_interval_(std::max(std::min(publish_interval, line_interval_), std::chrono::milliseconds(1))),
      thread_(&StatusReporter::run, this)
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
    publish();
    print_line(std::cout, "📊 Final status: " + status_.summary());
}

void StatusReporter::publish()
{
    status_.sample();
    board_.publish(status_.snapshot());
}

void StatusReporter::run()
{
    auto next_line = MiningStatus::Clock::now() + line_interval_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, publish_interval_, [this] { return ending_; })) {
        lock.unlock();
        publish();
        if (MiningStatus::Clock::now() >= next_line) {
            next_line += line_interval_;
            print_line(std::cout, "📊 Status: " + status_.summary());
        }
        lock.lock();
    }
}
