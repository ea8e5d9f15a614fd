#include "miner/rig.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <optional>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "miner/card_threads.h"
#include "mining/card_device.h"
#include "miner/stop_signal.h"
#include "pow/solution_check.h"

using Next = MiningSession::Next;

// Set once, by the first card or event that ends the search.
class Rig::Search {
public:
    void finish(Next why)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (end_ == Next::MINE) end_ = why;
        }
        changed_.notify_all();
    }
    Next end() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return end_;
    }
    // A puzzle needs one solution: true for the first card that claims it.
    bool claim_solution()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return !std::exchange(claimed_, true);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Next end_ = Next::MINE;
    bool claimed_ = false;
};

namespace {

// The hotter of a card's two temperatures; none when neither is known.
std::optional<double> hottest(const CardTelemetry& t)
{
    if (t.core_temperature_c && t.memory_temperature_c) return std::max(*t.core_temperature_c, *t.memory_temperature_c);
    return t.core_temperature_c ? t.core_temperature_c : t.memory_temperature_c;
}

std::string degrees(double value)
{
    return std::to_string(static_cast<long long>(std::lround(value))) + " °C";
}

// One card's view of the search: its own ranges, the shared end, its share of the status line, its
// failure count, which a batch that ran clears, and its pause for the temperature limit.
class CardSession : public MiningSession {
public:
    CardSession(Rig::Search& search, MinerState& state, MiningStatus& status, const MiningConfig& config,
                std::size_t slot, int gpu, const GuesserBuffer& buffer, std::uint64_t first_range, std::uint64_t stride,
                int& failures, bool& paused)
        : search_(search), state_(state), status_(status), config_(config), slot_(slot), gpu_(gpu), buffer_(buffer),
          range_(first_range), stride_(stride), failures_(failures), paused_(paused)
    {
    }

    // Also the batch boundary where a hot card waits (the batch queued behind this one runs out,
    // nothing new is queued) until it has cooled, the search has ended or the miner stops.
    Next after_batch(const CheckedPuzzle&, std::uint64_t candidates) override
    {
        if (candidates > 0) {
            status_.count_candidates(slot_, candidates);
            failures_ = 0;
        }
        Next next = stop_mining.load() ? Next::STOPPED : search_.end();
        while (next == Next::MINE && config_.temp_limit_c > 0 && too_hot()) {
            sleep_unless_stopped(config_.pause_check);
            next = stop_mining.load() ? Next::STOPPED : search_.end();
        }
        return next;
    }
    std::uint64_t& range_index() override { return range_; }
    std::uint64_t range_stride() const override { return stride_; }
    // Checks the hit on the host against the card's buffer and the puzzle's threshold. One that
    // fails is counted and reported, never submitted, and the search goes on; the first that holds
    // is counted and handed to the outbox (sent, or kept while the bridge is away), and ends the
    // search on every card: a puzzle needs one solution.
    Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) override
    {
        const std::string fault = checkSolution(buffer_, puzzle.threshold, pow);
        if (!fault.empty()) {
            state_.total_solutions_failed_verification.fetch_add(1);
            status_.count_hit(slot_, MiningStatus::Hit::failed_verification);
            print_parts(std::cerr, "⚠️ Hit at nonce ", pow.nonce[0], " failed verification (", fault,
                        "): not submitted");
            return Next::MINE;
        }
        if (search_.claim_solution()) {
            state_.total_solutions_found.fetch_add(1);
            status_.count_hit(slot_, MiningStatus::Hit::found);
            MiningStatus& status = status_;
            const std::size_t slot = slot_;
            state_.solution_outbox.deliver(puzzle.id, pow,
                                           [&status, slot] { status.count_hit(slot, MiningStatus::Hit::submitted); });
        } else {
            print_line(std::cout, "Another card's solution to this puzzle went first: this one is not sent");
        }
        search_.finish(Next::SOLVED);
        return Next::SOLVED;
    }

private:
    // Pauses at the limit and resumes TEMP_RESUME_MARGIN_C below it, one line each way.
    bool too_hot()
    {
        const CardTelemetry telemetry = status_.telemetry(slot_);
        const std::optional<double> hot = hottest(telemetry);
        const double limit = config_.temp_limit_c, resume = limit - TEMP_RESUME_MARGIN_C;
        if (!paused_ && hot && *hot >= limit) {
            paused_ = true;
            print_parts(std::cout, "🌡️ GPU ", gpu_, " paused: ", degrees(*hot), " reaches the limit of ", degrees(limit),
                        "; it resumes at ", degrees(resume));
        } else if (paused_ && hot && *hot <= resume) {
            paused_ = false;
            print_parts(std::cout, "🌡️ GPU ", gpu_, " resumed: ", degrees(*hot), ", ", degrees(TEMP_RESUME_MARGIN_C),
                        " below the limit");
        }
        status_.set_card(slot_, paused_ ? CardState::paused : CardState::mining);
        return paused_;
    }

    Rig::Search& search_;
    MinerState& state_;
    MiningStatus& status_;
    const MiningConfig& config_;
    const std::size_t slot_;
    const int gpu_;
    const GuesserBuffer& buffer_;
    std::uint64_t range_;
    const std::uint64_t stride_;
    int& failures_;
    bool& paused_;
};

// What the outside is shown of a card before it mines: its index, name and PCI bus id.
CardSnapshot card_identity(int gpu)
{
    CardSnapshot card;
    card.index = gpu;
    cudaDeviceProp properties{};
    if (crv_cuda_ok(cudaGetDeviceProperties(&properties, gpu), "get device properties")) card.name = properties.name;
    char bus_id[32] = {};
    if (crv_cuda_ok(cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, gpu), "get PCI bus id")) card.pci_bus_id = bus_id;
    return card;
}

}  // namespace

Rig::Rig(MinerState& state, MiningStatus& status, const MiningConfig& config)
    : state_(state), status_(status), config_(config), cards_(config.gpus.size()),
      working_(static_cast<int>(config.gpus.size()))
{
    std::vector<CardSnapshot> shown(cards_.size());
    for (std::size_t slot = 0; slot < cards_.size(); ++slot) {
        cards_[slot].gpu = config.gpus[slot];
        shown[slot] = card_identity(config.gpus[slot]);
    }
    status_.set_cards(shown);
    std::string why;
    std::unique_ptr<TelemetrySource> telemetry = open_telemetry(why);
    if (!telemetry)
        print_line(std::cout, "🌡️ No GPU telemetry (" + why + "): temperatures, power and fans stay empty" +
                                  (config.temp_limit_c > 0 ? ", and --temp-limit cannot act" : ""));
    status_.set_telemetry(std::move(telemetry));
}

bool Rig::enter(std::size_t slot)
{
    Card& card = cards_[slot];
    line_prefix() = card_prefix(card.gpu, cards_.size());
    const GpuStatus status = use_card(card.gpu);
    if (status.ok()) return true;
    take_out(slot, "GPU " + std::to_string(card.gpu) + " could not be selected (" + status.text() + ")", false);
    return false;
}

void Rig::take_out(std::size_t slot, const std::string& reason, bool context_lost)
{
    cards_[slot].out = true;
    status_.set_card(slot, CardState::out);
    const int left = working_.fetch_sub(1) - 1;
    if (cards_.size() > 1)
        print_parts(std::cerr, "❌ ", reason, ": this card is left out, ", left, " of ", cards_.size(), " GPUs mine on");
    if (left > 0) return;
    const std::string stopping = "stopping with exit status " + std::to_string(NO_CARD_LEFT_EXIT_STATUS) +
                                 " so that the miner can be restarted";
    state_.stop_with_status(NO_CARD_LEFT_EXIT_STATUS,
                            "❌ " + reason + (context_lost ? ": nothing more can run on it in this process; "
                                                           : ": no GPU is left to mine; ") + stopping);
}

void Rig::hung(std::size_t slot)
{
    Card& card = cards_[slot];
    card.out = card.hung = true;
    status_.set_card(slot, CardState::out);
    working_.fetch_sub(1);
    state_.stop_with_status(HUNG_CARD_EXIT_STATUS,
                            "❌ GPU " + std::to_string(card.gpu) + " hangs: a batch has not completed within " +
                                std::to_string(config_.driver.watchdog_ms) + " ms; stopping with exit status " +
                                std::to_string(HUNG_CARD_EXIT_STATUS) +
                                " without waiting for it, so that the miner can be restarted");
}

bool Rig::failed(std::size_t slot, const GpuStatus& failure)
{
    Card& card = cards_[slot];
    if (failure.loses_context()) {
        take_out(slot, "The GPU's context is lost (" + failure.text() + ")", true);
        return false;
    }
    if (++card.failures < config_.max_card_failures) return true;
    take_out(slot, "The GPU failed " + std::to_string(card.failures) + " times in a row (" + failure.text() + ", at " +
                       failure.label() + ")",
             false);
    return false;
}

void Rig::build(std::size_t slot, const CheckedPuzzle& puzzle)
{
    Card& card = cards_[slot];
    if (!enter(slot)) return;
    if (built_for(card.buffer, puzzle.mast_paths, config_.geometry.tree_height)) {
        print_line(std::cout, "♻️ Same authentication paths: mining on with the guesser buffer already built");
        return;
    }
    // The old tree's memory is needed for the new one.
    card.pipeline.release();
    card.buffer.cleanup();
    card.buffer = GuesserBuffer{};
    status_.set_card(slot, CardState::building);
    const auto start = std::chrono::steady_clock::now();
    GpuStatus status;
    if (buildGuesserBuffer(puzzle, config_.geometry, card.buffer, status)) {
        card.failures = 0;
        status_.card_built(slot, leaf_mode(card.buffer),
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    } else if (!status.ok()) {
        failed(slot, status);
    }
}

void Rig::search(std::size_t slot, const CheckedPuzzle& puzzle, Search& search, std::uint64_t first_range,
                 std::uint64_t stride, std::uint64_t& next_range)
{
    Card& card = cards_[slot];
    next_range = first_range;
    if (!enter(slot)) return;
    CardSession session(search, state_, status_, config_, slot, card.gpu, card.buffer, first_range, stride,
                        card.failures, card.paused);
    for (;;) {
        const SearchEnd end = continuousMiningLoop(puzzle, card.buffer, card.pipeline, session, config_.driver);
        if (end.hung) {
            hung(slot);
            break;
        }
        if (end.failure.ok() || !failed(slot, end.failure)) break;
        if (stop_mining.load() || search.end() != Next::MINE) break;
    }
    next_range = session.range_index();
}

bool Rig::mine(const CheckedPuzzle& puzzle)
{
    std::vector<std::size_t> working;
    for (std::size_t slot = 0; slot < cards_.size(); ++slot)
        if (!cards_[slot].out) working.push_back(slot);
    on_each(working, [&](std::size_t slot) { build(slot, puzzle); });

    std::vector<std::size_t> mining;
    for (const std::size_t slot : working) {
        if (cards_[slot].out) continue;
        const bool built = cards_[slot].buffer.d_merkle_tree != nullptr;
        status_.set_card(slot, built ? CardState::mining : CardState::no_buffer);
        if (built) mining.push_back(slot);
    }
    if (mining.empty()) return false;

    Search search;
    const std::uint64_t base = state_.global_nonce_offset;
    std::vector<std::uint64_t> next_range(cards_.size(), base);
    std::atomic<std::size_t> running{mining.size()};
    std::vector<std::thread> threads;
    for (std::size_t position = 0; position < mining.size(); ++position)
        threads.emplace_back([&, position] {
            const std::size_t slot = mining[position];
            this->search(slot, puzzle, search, base + position, mining.size(), next_range[slot]);
            running.fetch_sub(1);
        });
    // Newer work or a stop ends the search on every card; the work goes back to the queue.
    while (running.load() > 0 && search.end() == Next::MINE) {
        MiningEvent event;
        if (!state_.event_handler.waitForEvent(event, config_.watch_wait)) continue;
        if (event.type == EventType::STOP_MINING) {
            search.finish(Next::STOPPED);
        } else if (event.type == EventType::NEW_PUZZLE && event.puzzle_id != puzzle.id) {
            const MiningEvent newest = newest_work(state_.event_handler, std::move(event));
            if (newest.type == EventType::NEW_PUZZLE)
                print_line(std::cout, "\n🔄 New puzzle detected during mining, switching...");
            state_.event_handler.postEvent(newest);
            search.finish(newest.type == EventType::STOP_MINING ? Next::STOPPED : Next::GIVE_WAY);
        }
    }
    for (std::thread& thread : threads) thread.join();
    // Past every range any card started, so work on the same block never repeats one.
    state_.global_nonce_offset = *std::max_element(next_range.begin(), next_range.end());
    return search.end() == Next::SOLVED;
}

void Rig::cleanup()
{
    for (std::size_t slot = 0; slot < cards_.size(); ++slot) {
        Card& card = cards_[slot];
        if (card.hung) continue;  // its memory goes with the process
        line_prefix() = card_prefix(card.gpu, cards_.size());
        if (!crv_cuda_ok(cudaSetDevice(card.gpu), "set device")) continue;
        card.pipeline.release();
        cleanup_gpu_memory(card.buffer);
    }
    line_prefix().clear();
    // Freeing a hung card's memory, here or in the destructors, would wait for it for good, as
    // would the runtime's teardown at exit: the process ends now, its lines written.
    if (std::any_of(cards_.begin(), cards_.end(), [](const Card& card) { return card.hung; })) {
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(HUNG_CARD_EXIT_STATUS);
    }
}
