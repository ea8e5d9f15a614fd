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

// " [65 °C, memory 80 °C, 220 W, fan 50%]" with what is known; empty when nothing is.
std::string telemetry_text(const CardTelemetry& t)
{
    std::string parts;
    const auto add = [&parts](const std::optional<double>& value, const char* before, const char* after) {
        if (!value) return;
        char text[48];
        std::snprintf(text, sizeof text, "%s%s%.0f%s", parts.empty() ? "" : ", ", before, *value, after);
        parts += text;
    };
    add(t.core_temperature_c, "", " °C");
    add(t.memory_temperature_c, "memory ", " °C");
    add(t.power_w, "", " W");
    add(t.fan_percent, "fan ", "%");
    return parts.empty() ? parts : " [" + parts + "]";
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

void MiningStatus::set_telemetry(std::unique_ptr<TelemetrySource> source)
{
    std::lock_guard<std::mutex> lock(mutex_);
    telemetry_ = std::move(source);
}

CardTelemetry MiningStatus::telemetry(std::size_t slot) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cards_.at(slot).shown.telemetry;
}

void MiningStatus::sample(Clock::time_point now)
{
    // The sensors are read outside the lock: a driver call may take a while.
    std::vector<std::pair<int, std::string>> ids;
    TelemetrySource* source = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = telemetry_.get();
        for (const Card& card : cards_) ids.emplace_back(card.shown.index, card.shown.pci_bus_id);
    }
    std::vector<TelemetryReading> readings;
    if (source != nullptr)
        for (const auto& [index, bus_id] : ids) readings.push_back(source->read(index, bus_id));
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t slot = 0; slot < cards_.size(); ++slot) {
        Card& card = cards_[slot];
        card.history.add(now, card.shown.candidates);
        card.shown.rates = card.history.rates();
        if (slot >= readings.size()) continue;
        const TelemetryReading& r = readings[slot];
        CardTelemetry& t = card.shown.telemetry;
        t = CardTelemetry{r.core_temperature_c, r.memory_temperature_c, r.power_w, r.fan_percent, r.sm_clock_mhz,
                          r.memory_clock_mhz, std::nullopt};
        if (r.power_w && *r.power_w > 0) t.candidates_per_joule = card.shown.rates.last_10s / *r.power_w;
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
                 (mines ? two_decimals(rate) : card_state_name(card.state)) + telemetry_text(card.telemetry);
    }
    if (cards_.size() == 1) cards = telemetry_text(cards_[0].shown.telemetry);
    if (cards_.size() > 1)
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
