#include "miner/rig.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/device_error.h"
#include "miner/miner_session.h"
#include "miner/shared_state.h"
#include "miner/stop_signal.h"

namespace {

using Next = MiningSession::Next;

// How the search of one puzzle by all cards ends: set once, by the first card or event that ends it.
class RigSearch {
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
    Next wait_for_end(std::chrono::milliseconds wait) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, wait, [this] { return end_ != Next::MINE; });
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
    mutable std::condition_variable changed_;
    Next end_ = Next::MINE;
    bool claimed_ = false;
};

// One card's view of the search: its own ranges, the shared end, its share of the status line.
class CardSession : public MiningSession {
public:
    CardSession(RigSearch& search, MiningStatus& status, std::size_t slot, const GuesserBuffer& buffer,
                std::uint64_t first_range, std::uint64_t stride, std::function<void(cudaError_t)> on_lost)
        : search_(search), status_(status), slot_(slot), buffer_(buffer), range_(first_range), stride_(stride),
          on_lost_(std::move(on_lost))
    {
    }

    Next between_ranges(const CheckedPuzzle&, std::chrono::milliseconds wait) override
    {
        return stop_requested() ? Next::STOPPED : search_.wait_for_end(wait);
    }
    bool stop_requested() const override { return stop_mining.load(); }
    Next after_batch(const CheckedPuzzle&, std::uint64_t candidates) override
    {
        status_.count_candidates(candidates, MiningStatus::Clock::now(), slot_);
        return stop_requested() ? Next::STOPPED : search_.end();
    }
    std::uint64_t& range_index() override { return range_; }
    std::uint64_t range_stride() const override { return stride_; }
    Next solution_found(const CheckedPuzzle& puzzle, const Pow& pow) override
    {
        if (!verified_hit(&buffer_, puzzle, pow)) return Next::MINE;
        if (search_.claim_solution())
            deliver_solution(puzzle, pow);
        else
            print_line(std::cout, "Another card's solution to this puzzle went first: this one is not sent");
        search_.finish(Next::SOLVED);
        return Next::SOLVED;
    }
    void device_lost(cudaError_t error) override { on_lost_(error); }
    void pause(std::chrono::milliseconds duration) override { sleep_unless_stopped(duration); }

private:
    RigSearch& search_;
    MiningStatus& status_;
    const std::size_t slot_;
    const GuesserBuffer& buffer_;
    std::uint64_t range_;
    const std::uint64_t stride_;
    const std::function<void(cudaError_t)> on_lost_;
};

// Makes `gpu` this thread's device and names it in front of the thread's lines.
void work_on(int gpu)
{
    line_prefix() = "GPU " + std::to_string(gpu) + ": ";
    crv_cuda_ok(cudaSetDevice(gpu), "set device");
}

// Runs body(slot) for each slot on a thread of its own and waits for them all.
void on_each(const std::vector<std::size_t>& slots, const std::function<void(std::size_t)>& body)
{
    std::vector<std::thread> threads;
    threads.reserve(slots.size());
    for (const std::size_t slot : slots) threads.emplace_back(body, slot);
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

Rig::Rig(const std::vector<int>& gpus, MiningStatus& status)
    : cards_(gpus.size()), status_(status), working_(static_cast<int>(gpus.size()))
{
    for (std::size_t slot = 0; slot < gpus.size(); ++slot) cards_[slot].gpu = gpus[slot];
    status_.set_cards(gpus);
}

Rig::~Rig()
{
    int device = 0;
    const bool known = cudaGetDevice(&device) == cudaSuccess;
    for (Card& card : cards_) {
        if (card.buffer.d_merkle_tree == nullptr && card.buffer.d_leafs == nullptr) continue;
        if (crv_cuda_ok(cudaSetDevice(card.gpu), "set device")) card.buffer.cleanup();
    }
    if (known) cudaSetDevice(device);
}

void Rig::take_out(std::size_t slot, cudaError_t error)
{
    cards_[slot].out = true;
    status_.set_card(slot, MiningStatus::Card::out);
    const int left = working_.fetch_sub(1) - 1;
    print_parts(std::cerr, "❌ The GPU's context is lost (", cudaGetErrorString(error), "): this card is left out, ",
                left, " of ", cards_.size(), " GPUs mine on");
    if (left == 0) stop_for_lost_device(error);
}

void Rig::build(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry)
{
    std::vector<std::size_t> slots;
    for (std::size_t slot = 0; slot < cards_.size(); ++slot)
        if (!cards_[slot].out) slots.push_back(slot);
    on_each(slots, [&](std::size_t slot) {
        Card& card = cards_[slot];
        work_on(card.gpu);
        if (built_for(card.buffer, puzzle.mast_paths, geometry.tree_height)) {
            print_line(std::cout, "♻️ Same authentication paths: mining on with the guesser buffer already built");
            return;
        }
        card.buffer.cleanup();  // the old tree's memory is needed for the new one
        card.buffer = GuesserBuffer{};
        if (buildGuesserBuffer(puzzle, geometry, card.buffer)) return;
        const cudaError_t status = cudaDeviceSynchronize();
        if (!crv_cuda_ok(status, "device check") && gpu::loses_context(status)) take_out(slot, status);
    });
}

bool Rig::mine(const CheckedPuzzle& puzzle, const GuesserGeometry& geometry, const MiningDriverConfig& driver)
{
    build(puzzle, geometry);
    std::vector<std::size_t> mining;
    for (std::size_t slot = 0; slot < cards_.size(); ++slot) {
        if (cards_[slot].out) continue;
        const bool built = cards_[slot].buffer.d_merkle_tree != nullptr;
        status_.set_card(slot, built ? MiningStatus::Card::mining : MiningStatus::Card::no_buffer);
        if (built) mining.push_back(slot);
    }
    if (mining.empty()) return false;

    RigSearch search;
    const std::uint64_t base = global_nonce_offset;
    std::vector<std::uint64_t> next_range(cards_.size(), base);
    std::atomic<std::size_t> running{mining.size()};
    std::vector<std::thread> threads;
    for (std::size_t position = 0; position < mining.size(); ++position)
        threads.emplace_back([&, position] {
            const std::size_t slot = mining[position];
            work_on(cards_[slot].gpu);
            CardSession session(search, status_, slot, cards_[slot].buffer, base + position, mining.size(),
                                [this, slot](cudaError_t error) { take_out(slot, error); });
            continuousMiningLoop(puzzle, cards_[slot].buffer, session, driver);
            next_range[slot] = session.range_index();
            running.fetch_sub(1);
        });
    // Newer work or a stop ends the search on every card; the work goes back to the queue.
    while (running.load() > 0 && search.end() == Next::MINE) {
        MiningEvent event;
        if (!event_handler->waitForEvent(event, driver.event_wait)) continue;
        if (event.type == EventType::STOP_MINING) {
            search.finish(Next::STOPPED);
        } else if (event.type == EventType::NEW_PUZZLE && event.puzzle_id != puzzle.id) {
            const MiningEvent newest = newest_work(std::move(event));
            if (newest.type == EventType::NEW_PUZZLE)
                print_line(std::cout, "\n🔄 New puzzle detected during mining, switching...");
            event_handler->postEvent(newest);
            search.finish(newest.type == EventType::STOP_MINING ? Next::STOPPED : Next::GIVE_WAY);
        }
    }
    for (std::thread& thread : threads) thread.join();
    // Past every range any card started, so work on the same block never repeats one.
    global_nonce_offset = *std::max_element(next_range.begin(), next_range.end());
    return search.end() == Next::SOLVED;
}
