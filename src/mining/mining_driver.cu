#include "mining/mining_driver.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/launch.h"
#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/field.h"
#include "mining/mining_kernels.h"
#include "pow/pow.h"

namespace {

using Next = MiningSession::Next;
using SystemClock = std::chrono::system_clock;

long long millis_since(SystemClock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(SystemClock::now() - start).count();
}

// M nonces per second; a time of 0 ms divides by zero and prints as the stream prints infinity.
std::string rate_text(uint64_t tried, long long millis)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(2)
        << static_cast<double>(tried) / (static_cast<double>(millis) / 1000.0) / 1000000.0;
    return out.str();
}

// One range of counters: how much of it is queued and read, and its clock, which starts when its
// first batch is queued or the range before it ends, whichever is later, so that ranges that
// overlap on the device are not timed twice.
struct Range {
    uint64_t index = 0;
    uint64_t start = 0;
    uint64_t size = 0;
    uint64_t queued = 0;
    uint64_t tried = 0;
    SystemClock::time_point clock;
};

// One batch on the mining stream, from the clearing of its record to the copies of its result.
struct Batch {
    enum class State { none, failed, queued };
    State state = State::none;
    int slot = 0;
    uint64_t count = 0;
    bool last_of_range = false;
};

// What every batch of a search shares; each batch adds its counters and its record.
MiningParams search_params(const GuesserBuffer& buffer, const Digest& threshold)
{
    MiningParams params{};
    params.d_leafs = buffer.d_leafs;
    params.stored_leafs = buffer.stored_leafs;
    params.d_merkle_tree = buffer.d_merkle_tree;
    params.num_leafs = buffer.num_leafs;
    params.tree_height = buffer.tree_height;
    params.merkle_root = buffer.merkle_root;
    params.final_hash = buffer.final_hash;
    params.commitment = buffer.mast_paths.commit();
    params.mast_paths = buffer.mast_paths;
    params.threshold = threshold;
    return params;
}

// One call of the search. Batch n + 1 is queued behind batch n before n is read, also when n + 1
// begins the next range, so the device never waits for the host; a hit, a failure or the session's
// news ends the search after the batch it concerns, once the batch queued behind it has run.
class Search {
public:
    Search(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, BatchPipeline& pipeline, MiningSession& session,
           const MiningDriverConfig& config)
        : puzzle_(puzzle), buffer_(buffer), pipeline_(pipeline), session_(session), config_(config),
          params_(search_params(buffer, puzzle.threshold))
    {
    }

    SearchEnd run()
    {
        SearchEnd end;
        end.next = session_.after_batch(puzzle_, 0);
        if (end.next != Next::MINE) return end;
        Batch current = queue_next(0);
        while (current.state != Batch::State::none) {
            const bool queued = current.state == Batch::State::queued;
            const Batch next = queued ? queue_next(1 - current.slot) : Batch{};
            const bool waited = queued && wait_for(current);
            Range& range = ranges_.front();
            range.tried += current.count;
            if (!waited) return hung_ ? hung(range) : failed(next);
            const BatchResult& result = pipeline_.results.get()[current.slot];
            if (result.found != 0) {
                end.next = hand_off_solution(current, result, range);
                if (!pipeline_.status.ok()) return failed(next);
                if (current.last_of_range) ranges_.pop_front();
                if (end.next != Next::MINE) {
                    drop(next);
                    return end;
                }
            } else if (current.last_of_range) {
                finish_front();
            }
            end.next = session_.after_batch(puzzle_, current.count);
            if (end.next != Next::MINE) {
                if (!current.last_of_range) print_range_line(ranges_.front());
                drop(next);
                return end;
            }
            current = next;
        }
        if (!pipeline_.status.ok()) return failed(Batch{});
        print_parts(std::cerr, "⚠️ Range ", session_.range_index(), " would reach past the last nonce counter (p - 1): ",
                    "this block's nonces are used up; waiting for new work");
        end.used_up = true;
        return end;
    }

private:
    // The next batch: the rest of the newest range, or the first batch of the range after it. None
    // once the block's counters are used up.
    Batch queue_next(int slot)
    {
        if ((ranges_.empty() || ranges_.back().queued == ranges_.back().size) && !begin_range()) return Batch{};
        Range& range = ranges_.back();
        const uint64_t count = std::min(pipeline_.launch.batch, range.size - range.queued);
        Batch batch = queue_batch(slot, range.start + range.queued, count);
        range.queued += count;
        batch.last_of_range = range.queued == range.size;
        return batch;
    }

    // Counters r * range ... r * range + range - 1, none of them p or more: a counter is element 0 of
    // a nonce digest and must stay a canonical field element.
    bool begin_range()
    {
        const uint64_t index = session_.range_index();
        if (index > (field::P - 1) / config_.nonces_per_range) return false;
        session_.range_index() += session_.range_stride();
        crv_clear_cuda_errors("pre-mining stale error");
        Range range;
        range.index = index;
        range.start = index * config_.nonces_per_range;
        range.size = std::min(config_.nonces_per_range, field::P - range.start);
        range.clock = SystemClock::now();
        if (crv_debug_runtime_enabled()) {
            print_parts(std::cout, "Starting GPU-parallelized POW mining...");
            print_parts(std::cout, "Target: 0x", std::hex, puzzle_.threshold[0], std::dec);
            print_parts(std::cout, "Max nonces: ", config_.nonces_per_range, ", Batch size: ", config_.max_batch_size);
            print_parts(std::cout, "Nonce offset (range index): ", index, ", computed start nonce: ", range.start);
        }
        ranges_.push_back(range);
        return true;
    }

    Batch queue_batch(int slot, uint64_t first, uint64_t count)
    {
        Batch batch{Batch::State::failed, slot, count, false};
        const SolutionRecord& record = pipeline_.records[slot];
        BatchResult& result = pipeline_.results.get()[slot];
        const cudaStream_t stream = pipeline_.stream;
        GpuStatus& status = pipeline_.status;
        const bool cleared =
            status.check(cudaMemsetAsync(record.found.get(), 0, sizeof(int), stream), "memset d_solution_found") &&
            status.check(cudaMemsetAsync(record.nonce.get(), 0, sizeof(uint64_t), stream), "memset d_solution_nonce") &&
            status.check(cudaMemsetAsync(record.nonce_digest.get(), 0, sizeof(Digest), stream),
                         "memset d_solution_nonce_digest");
        if (!cleared) return batch;
        MiningParams params = params_;
        params.start_nonce = first;
        params.num_nonces = count;
        params.d_solution_nonce = record.nonce.get();
        params.d_solution_found = record.found.get();
        params.d_solution_path_a = record.path_a.get();
        params.d_solution_path_b = record.path_b.get();
        params.d_solution_nonce_digest = record.nonce_digest.get();
        const MiningLaunch& launch = pipeline_.launch;
        gpu::launch(mining_kernel(pipeline_.kernel).function, dim3(launch.grid_for(count)), dim3(launch.block_size),
                    stream, params);
        if (!status.check(cudaGetLastError(), "launch parallel_mining_kernel")) {
            crv_clear_cuda_errors("post-launch clear");
            return batch;
        }
        const auto copy_back = [&](auto* host, const auto* device, const char* what) {
            return status.check(cudaMemcpyAsync(host, device, sizeof(*host), cudaMemcpyDeviceToHost, stream), what,
                                "copy back a batch result");
        };
        const bool copied = copy_back(&result.found, record.found.get(), "Solution found copy error: ") &&
                            copy_back(&result.nonce, record.nonce.get(), "Solution nonce copy error: ") &&
                            copy_back(&result.nonce_digest, record.nonce_digest.get(),
                                      "Solution nonce digest copy error: ") &&
                            status.check(cudaEventRecord(pipeline_.copied[slot], stream), "record batch event");
        if (copied) batch.state = Batch::State::queued;
        return batch;
    }

    // Waits for a queued batch's result; false when the wait fails (reported) or the batch outlives
    // the watchdog (hung_). The event is polled: a blocking synchronisation could not be given up,
    // and a host callback in the stream would make the device wait for the host between batches.
    // The next batch is queued behind this one, so the poll's step costs the device nothing.
    bool wait_for(const Batch& batch)
    {
        using std::chrono::steady_clock;
        const auto deadline = steady_clock::now() + std::chrono::milliseconds(config_.watchdog_ms);
        cudaError_t state = cudaEventQuery(pipeline_.copied[batch.slot]);
        for (; state == cudaErrorNotReady; state = cudaEventQuery(pipeline_.copied[batch.slot])) {
            if (steady_clock::now() >= deadline) {
                hung_ = true;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (pipeline_.status.check(state, "sync parallel_mining_kernel")) return true;
        crv_clear_cuda_errors("post-sync clear");
        return false;
    }

    // Nothing more is asked of a hung device: no batch is dropped, nothing waited for.
    SearchEnd hung(const Range& range)
    {
        print_range_line(range);
        SearchEnd end;
        end.hung = true;
        return end;
    }

    // Lets a batch queued behind the end of the search run out, its result unread. A range that only
    // this batch had begun is given back to the session's range index.
    void drop(const Batch& batch)
    {
        if (batch.state == Batch::State::none) return;
        if (batch.state == Batch::State::queued && pipeline_.status.ok()) wait_for(batch);
        if (ranges_.size() > 0 && ranges_.back().tried == 0) {
            session_.range_index() -= session_.range_stride();
            ranges_.pop_back();
        }
    }

    SearchEnd failed(const Batch& next)
    {
        if (!ranges_.empty() && ranges_.front().tried > 0) print_range_line(ranges_.front());
        drop(next);
        SearchEnd end;
        end.failure = pipeline_.status;
        return end;
    }

    void print_range_line(const Range& range)
    {
        const long long millis = millis_since(range.clock);
        print_parts(std::cout, "No solution found after ", range.tried, " nonces (time: ", millis, " ms, ",
                    rate_text(range.tried, millis), " M nonces/sec)");
    }

    void finish_front()
    {
        print_range_line(ranges_.front());
        ranges_.pop_front();
        if (!ranges_.empty()) ranges_.front().clock = std::max(ranges_.front().clock, SystemClock::now());
    }

    // Builds the Pow from the batch's record and hands it to the session; its verdict. A failed
    // copy of the paths is kept in the pipeline's status (the hit is then lost).
    Next hand_off_solution(const Batch& batch, const BatchResult& result, const Range& range)
    {
        const SolutionRecord& record = pipeline_.records[batch.slot];
        print_parts(std::cout, "SOLUTION FOUND at nonce ", result.nonce, "!");
        print_parts(std::cout, "Performance: ", rate_text(range.tried, millis_since(range.clock)), " M nonces/sec");
        Pow pow;
        pow.root = buffer_.merkle_root;
        pow.nonce = result.nonce_digest;
        const auto copy_path = [&](Digest* host, const Digest* device, const char* what) {
            return pipeline_.status.check(
                cudaMemcpy(host, device, GUESSER_TREE_HEIGHT * sizeof(Digest), cudaMemcpyDeviceToHost), what,
                "copy back a solution path");
        };
        if (!copy_path(pow.path_a, record.path_a.get(), "Path A copy error: ") ||
            !copy_path(pow.path_b, record.path_b.get(), "Path B copy error: "))
            return Next::MINE;
        print_parts(std::cout, "🎉 SOLUTION FOUND!");
        print_parts(std::cout, "🎉 SOLUTION FOUND! Nonce: ", pow.nonce[0], " (time: ", millis_since(range.clock), " ms)");
        return session_.solution_found(puzzle_, pow);
    }

    const CheckedPuzzle& puzzle_;
    const GuesserBuffer& buffer_;
    BatchPipeline& pipeline_;
    MiningSession& session_;
    const MiningDriverConfig& config_;
    const MiningParams params_;
    std::deque<Range> ranges_;  // begun and not yet ended, oldest first: at most two
    bool hung_ = false;         // a batch outlived the watchdog
};

}  // namespace

SearchEnd continuousMiningLoop(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, BatchPipeline& pipeline,
                               MiningSession& session, const MiningDriverConfig& config)
{
    if (buffer.d_merkle_tree == nullptr) {
        print_parts(std::cerr, "ERROR: Invalid buffer for mining (missing GPU merkle tree)");
        SearchEnd end;
        end.next = MiningSession::Next::STOPPED;
        return end;
    }
    if (!pipeline.ready() && !pipeline.prepare(config.max_batch_size, config.kernel)) {
        SearchEnd end;
        end.failure = pipeline.status;
        return end;
    }
    pipeline.status = GpuStatus{};  // each search reports its own failures
    return Search(puzzle, buffer, pipeline, session, config).run();
}
