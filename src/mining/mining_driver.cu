#include "mining/mining_driver.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/device_buffer.h"
#include "gpu/device_error.h"
#include "gpu/launch.h"
#include "gpu/pinned_buffer.h"
#include "gpu/runtime.h"
#include "hash/digest.h"
#include "hash/field.h"
#include "mining/mining_kernels.h"
#include "pow/guesser_buffer.h"
#include "pow/pow.h"

namespace {

constexpr int FALLBACK_BLOCKS_PER_MULTIPROCESSOR = 4;

using SystemClock = std::chrono::system_clock;

// The solution record of one range, freed whenever the range ends.
struct SolutionRecord {
    gpu::DeviceBuffer<uint64_t> nonce;
    gpu::DeviceBuffer<int> found;
    gpu::DeviceBuffer<Digest> path_a;
    gpu::DeviceBuffer<Digest> path_b;
    gpu::DeviceBuffer<Digest> nonce_digest;

    // In the order of the record; on a failure the ones allocated before it are freed.
    bool allocate()
    {
        if (!allocate_one(nonce, 1, "d_solution_nonce") || !allocate_one(found, 1, "d_solution_found") ||
            !allocate_one(path_a, GUESSER_TREE_HEIGHT, "d_solution_path_a") ||
            !allocate_one(path_b, GUESSER_TREE_HEIGHT, "d_solution_path_b") ||
            !allocate_one(nonce_digest, 1, "d_solution_nonce_digest")) {
            release();
            return false;
        }
        if (!found || !nonce) {
            print_parts(std::cerr, "ERROR: Allocated solution buffers are null");
            release();
            return false;
        }
        return true;
    }

    void release()
    {
        nonce_digest.reset();
        path_b.reset();
        path_a.reset();
        found.reset();
        nonce.reset();
    }

private:
    template <typename T>
    static bool allocate_one(gpu::DeviceBuffer<T>& buffer, size_t count, const char* name)
    {
        return crv_cuda_check(buffer.allocate(count), std::string("CUDA malloc failed for ") + name + ": ");
    }
};

// Remembers the first error that lost the context and passes the code on to its check.
cudaError_t noted(cudaError_t code, cudaError_t& lost)
{
    if (lost == cudaSuccess && gpu::loses_context(code)) lost = code;
    return code;
}

// Copies one device value back; on failure prints `what` + the error text.
template <typename T>
bool copy_back(T* host, const T* device, size_t count, const char* what, cudaError_t& lost)
{
    return crv_cuda_check(noted(cudaMemcpy(host, device, count * sizeof(T), cudaMemcpyDeviceToHost), lost), what);
}

bool memset_ok(void* device, size_t bytes, const char* label, cudaStream_t stream, cudaError_t& lost)
{
    return crv_cuda_ok(noted(cudaMemsetAsync(device, 0, bytes, stream), lost), label);
}

// Queues the copy of one device value into pinned memory; on failure prints `what` + the error text.
template <typename T>
bool queue_copy_back(T* host, const T* device, const char* what, cudaStream_t stream, cudaError_t& lost)
{
    return crv_cuda_check(noted(cudaMemcpyAsync(host, device, sizeof(T), cudaMemcpyDeviceToHost, stream), lost), what);
}

// What the host reads of a batch's record after every batch; the paths only after a hit.
struct BatchResult {
    int found;
    uint64_t nonce;
    Digest nonce_digest;
};

// The mining stream, the two batches the range keeps on it (one running, the next queued behind
// it) and their results in pinned memory. Freed when the range ends, or after the hand-off.
struct BatchPipeline {
    static constexpr int SLOTS = 2;
    SolutionRecord records[SLOTS];
    gpu::PinnedBuffer<BatchResult> results;  // one per slot
    cudaStream_t stream = nullptr;
    cudaEvent_t copied[SLOTS] = {};  // recorded behind each batch's result copies
    cudaError_t lost = cudaSuccess;  // the error that lost the context, if one did

    BatchPipeline() = default;
    BatchPipeline(const BatchPipeline&) = delete;
    BatchPipeline& operator=(const BatchPipeline&) = delete;
    ~BatchPipeline() { release(); }

    bool allocate()
    {
        for (SolutionRecord& record : records)
            if (!record.allocate()) return false;
        if (!crv_cuda_check(results.allocate(SLOTS), "CUDA host alloc failed for the batch results: ") ||
            !crv_cuda_ok(cudaStreamCreate(&stream), "create mining stream"))
            return false;
        for (cudaEvent_t& event : copied)
            if (!crv_cuda_ok(cudaEventCreateWithFlags(&event, cudaEventDisableTiming), "create batch event"))
                return false;
        return true;
    }

    void release()
    {
        for (cudaEvent_t& event : copied) {
            if (event != nullptr) crv_cuda_ok(cudaEventDestroy(event), "destroy batch event");
            event = nullptr;
        }
        if (stream != nullptr) crv_cuda_ok(cudaStreamDestroy(stream), "destroy mining stream");
        stream = nullptr;
        results.reset();
        for (SolutionRecord& record : records) record.release();
    }
};

// One batch on the mining stream, from the clearing of its record to the copies of its result.
struct Batch {
    enum class State { none, skipped, queued, failed };
    State state = State::none;
    int slot = 0;
    uint64_t count = 0;
    bool readable = false;  // its result copies were queued
};

Batch queue_batch(BatchPipeline& pipeline, int slot, MiningParams params, uint64_t first, uint64_t count,
                  const MiningLaunch& launch, MiningKernel kernel)
{
    Batch batch{Batch::State::skipped, slot, count, false};
    SolutionRecord& record = pipeline.records[slot];
    BatchResult& result = pipeline.results.get()[slot];
    const cudaStream_t stream = pipeline.stream;
    cudaError_t& lost = pipeline.lost;
    const bool cleared =
        memset_ok(record.found.get(), sizeof(int), "memset d_solution_found", stream, lost) &&
        memset_ok(record.nonce.get(), sizeof(uint64_t), "memset d_solution_nonce", stream, lost) &&
        memset_ok(record.nonce_digest.get(), sizeof(Digest), "memset d_solution_nonce_digest", stream, lost);
    if (!cleared) return batch;
    params.start_nonce = first;
    params.num_nonces = count;
    params.d_solution_nonce = record.nonce.get();
    params.d_solution_found = record.found.get();
    params.d_solution_path_a = record.path_a.get();
    params.d_solution_path_b = record.path_b.get();
    params.d_solution_nonce_digest = record.nonce_digest.get();
    gpu::launch(mining_kernel(kernel).function, dim3(launch.grid_for(count)), dim3(launch.block_size), stream, params);
    if (!crv_cuda_ok(noted(cudaGetLastError(), lost), "launch parallel_mining_kernel")) {
        crv_clear_cuda_errors("post-launch clear");
        batch.state = Batch::State::failed;
        return batch;
    }
    batch.readable =
        queue_copy_back(&result.found, record.found.get(), "Solution found copy error: ", stream, lost) &&
        queue_copy_back(&result.nonce, record.nonce.get(), "Solution nonce copy error: ", stream, lost) &&
        queue_copy_back(&result.nonce_digest, record.nonce_digest.get(), "Solution nonce digest copy error: ", stream,
                        lost);
    if (!crv_cuda_ok(noted(cudaEventRecord(pipeline.copied[slot], stream), lost), "record batch event")) {
        batch.state = Batch::State::failed;
        return batch;
    }
    batch.state = Batch::State::queued;
    return batch;
}

// Waits for a queued batch's result; false (reported) when the wait fails. Nothing is waited for
// once the context is lost.
bool wait_for(BatchPipeline& pipeline, const Batch& batch)
{
    if (batch.state != Batch::State::queued || pipeline.lost != cudaSuccess) return true;
    if (crv_cuda_ok(noted(cudaEventSynchronize(pipeline.copied[batch.slot]), pipeline.lost),
                    "sync parallel_mining_kernel"))
        return true;
    crv_clear_cuda_errors("post-sync clear");
    return false;
}

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

struct RangeOutcome {
    bool found = false;
    uint64_t nonce_counter = 0;
    Digest nonce_digest{};
    uint64_t tried = 0;
    SystemClock::time_point rate_start;
    MiningSession::Next next = MiningSession::Next::MINE;  // what ended the range early, if anything
    int slot = 0;                                          // the record that holds the hit
    bool past_last_counter = false;                        // the range would start at or beyond p
};

void print_occupancy(const MiningLaunch& launch)
{
    const int warp = std::max(1, launch.warp_size);
    const int active_warps = launch.blocks_per_multiprocessor * (launch.block_size / warp);
    const int max_warps = launch.max_threads_per_multiprocessor / warp;
    const float percent = static_cast<float>(active_warps) * 100.0f / static_cast<float>(max_warps);
    std::ostringstream line;
    line << "Occupancy: blocks/SM=" << launch.blocks_per_multiprocessor << ", active warps/SM=" << active_warps << "/"
         << max_warps << " (" << std::fixed << std::setprecision(1) << percent << "%)";
    print_line(std::cout, line.str());
}

// Searches counters r * range ... r * range + range - 1 batch by batch, none of them p or more:
// a counter is element 0 of a nonce digest and must stay a canonical field element. The host queues batch n + 1
// behind batch n before it reads batch n's result, so the device never waits for the host; a hit,
// a failure or the session's news ends the range after the batch it concerns, once the batch queued
// behind it has run (its result is dropped). The pipeline is allocated here and freed when the
// range ends; on a hit it is handed back still allocated.
RangeOutcome mine_range(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, MiningSession& session,
                        const MiningDriverConfig& config, BatchPipeline& pipeline)
{
    const Digest& threshold = puzzle.threshold;
    RangeOutcome outcome;
    const uint64_t range_index = session.range_index();

    crv_clear_cuda_errors("pre-mining stale error");
    outcome.rate_start = SystemClock::now();

    if (range_index > (field::P - 1) / config.nonces_per_range) {
        outcome.past_last_counter = true;
        return outcome;
    }
    const uint64_t start = range_index * config.nonces_per_range;
    const uint64_t range_size = std::min(config.nonces_per_range, field::P - start);
    if (crv_debug_runtime_enabled()) {
        print_parts(std::cout, "Starting GPU-parallelized POW mining...");
        print_parts(std::cout, "Target: 0x", std::hex, threshold[0], std::dec);
        print_parts(std::cout, "Max nonces: ", config.nonces_per_range, ", Batch size: ", config.max_batch_size);
        print_parts(std::cout, "Nonce offset (range index): ", range_index, ", computed start nonce: ", start);
    }
    if (buffer.d_merkle_tree == nullptr) {
        print_parts(std::cerr, "ERROR: Invalid buffer for mining (missing GPU merkle tree)");
        return outcome;
    }
    if (!pipeline.allocate()) {
        pipeline.release();
        return outcome;
    }

    const MiningLaunch launch = sizeMiningLaunch(config.max_batch_size, config.kernel);
    const MiningParams params{buffer.d_leafs, buffer.d_merkle_tree, buffer.num_leafs, buffer.tree_height,
                              buffer.merkle_root, buffer.final_hash, buffer.mast_paths.commit(), buffer.mast_paths,
                              threshold, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (crv_debug_runtime_enabled()) print_occupancy(launch);

    uint64_t queued = 0;  // candidates of the batches queued so far
    const auto queue_next = [&](int slot) {
        if (queued >= range_size) return Batch{};
        const uint64_t count = std::min(launch.batch, range_size - queued);
        const Batch batch = queue_batch(pipeline, slot, params, start + queued, count, launch, config.kernel);
        queued += count;
        return batch;
    };
    Batch current = queue_next(0);
    while (current.state != Batch::State::none) {
        // Nothing more can run on a device whose context is lost.
        const bool ran = current.state != Batch::State::failed && pipeline.lost == cudaSuccess;
        const Batch next = ran ? queue_next(1 - current.slot) : Batch{};  // batch n + 1 while n runs
        const bool waited = wait_for(pipeline, current);
        outcome.tried += current.count;
        const BatchResult& result = pipeline.results.get()[current.slot];
        if (!ran || !waited || pipeline.lost != cudaSuccess) {
            wait_for(pipeline, next);
            break;
        }
        if (current.state == Batch::State::queued && current.readable && result.found != 0) {
            wait_for(pipeline, next);
            outcome.found = true;
            outcome.slot = current.slot;
            outcome.nonce_counter = result.nonce;
            outcome.nonce_digest = result.nonce_digest;
            return outcome;
        }
        outcome.next = session.after_batch(puzzle, current.count);
        if (outcome.next != MiningSession::Next::MINE) {
            wait_for(pipeline, next);
            break;
        }
        current = next;
    }
    const long long millis = millis_since(outcome.rate_start);
    print_parts(std::cout, "No solution found after ", outcome.tried, " nonces (time: ", millis, " ms, ",
                rate_text(outcome.tried, millis), " M nonces/sec)");
    pipeline.release();
    return outcome;
}

// Builds the Pow from the record and hands it to the session; returns the session's verdict. MINE
// when the paths could not be read back: the hit is then lost, as a range without a solution.
MiningSession::Next hand_off_solution(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer,
                                      MiningSession& session, const RangeOutcome& outcome,
                                      BatchPipeline& pipeline, SystemClock::time_point range_start)
{
    const SolutionRecord& record = pipeline.records[outcome.slot];
    print_parts(std::cout, "SOLUTION FOUND at nonce ", outcome.nonce_counter, "!");
    print_parts(std::cout, "Performance: ", rate_text(outcome.tried, millis_since(outcome.rate_start)), " M nonces/sec");

    Pow pow;
    pow.root = buffer.merkle_root;
    pow.nonce = outcome.nonce_digest;
    const bool paths =
        copy_back(pow.path_a, record.path_a.get(), GUESSER_TREE_HEIGHT, "Path A copy error: ", pipeline.lost) &&
        copy_back(pow.path_b, record.path_b.get(), GUESSER_TREE_HEIGHT, "Path B copy error: ", pipeline.lost);
    pipeline.release();
    if (!paths) return MiningSession::Next::MINE;
    print_parts(std::cout, "🎉 SOLUTION FOUND!");
    print_parts(std::cout, "🎉 SOLUTION FOUND! Nonce: ", pow.nonce[0], " (time: ", millis_since(range_start), " ms)");
    return session.solution_found(puzzle, pow);
}

}  // namespace

unsigned int MiningLaunch::grid_for(uint64_t count) const
{
    const uint64_t resident = 2 * uint64_t(std::max(1, blocks_per_multiprocessor)) * uint64_t(multiprocessors);
    const uint64_t needed = (count + uint64_t(block_size) - 1) / uint64_t(block_size);
    return static_cast<unsigned int>(std::max({resident, uint64_t(multiprocessors), uint64_t(grid_floor), needed}));
}

MiningLaunch sizeMiningLaunch(uint64_t max_batch, MiningKernel kernel)
{
    const MiningKernelChoice chosen = mining_kernel(kernel);
    MiningLaunch launch;
    int device = 0;
    cudaDeviceProp properties{};
    if (crv_cuda_ok(cudaGetDevice(&device), "get device") &&
        crv_cuda_ok(cudaGetDeviceProperties(&properties, device), "get device properties")) {
        launch.multiprocessors = std::max(1, properties.multiProcessorCount);
        launch.warp_size = std::max(1, properties.warpSize);
        launch.max_threads_per_multiprocessor = properties.maxThreadsPerMultiProcessor;
    }

    // A failed query is reported and its fallback taken; nothing stays pending for the launch check.
    int min_grid_size = 0;
    int block_size = 0;
    if (crv_cuda_ok(cudaOccupancyMaxPotentialBlockSize(&min_grid_size, &block_size, chosen.function, 0, 0),
                    "occupancy block size")) {
        launch.block_size = block_size < 1 ? chosen.max_block_size : std::min(block_size, chosen.max_block_size);
    } else {
        launch.block_size = chosen.max_block_size;
        min_grid_size = 0;
    }

    int blocks = 0;
    const bool counted = crv_cuda_ok(
        cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, chosen.function, launch.block_size, 0),
        "occupancy blocks per multiprocessor");
    launch.blocks_per_multiprocessor = counted && blocks >= 1 ? blocks : FALLBACK_BLOCKS_PER_MULTIPROCESSOR;

    const int active_blocks = launch.blocks_per_multiprocessor * launch.multiprocessors;
    launch.grid_floor = min_grid_size > 0 ? min_grid_size : std::max(active_blocks, 1);
    const uint64_t wave = uint64_t(launch.blocks_per_multiprocessor) * uint64_t(launch.multiprocessors) *
                          uint64_t(launch.block_size);
    launch.batch = std::max<uint64_t>(1, std::min(wave, max_batch));
    return launch;
}

bool continuousMiningLoop(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, MiningSession& session,
                          const MiningDriverConfig& config)
{
    for (;;) {
        if (session.stop_requested()) return false;
        switch (session.between_ranges(puzzle, config.event_wait)) {
        case MiningSession::Next::SOLVED:
            return true;
        case MiningSession::Next::STOPPED:
        case MiningSession::Next::GIVE_WAY:
            return false;
        case MiningSession::Next::MINE:
            break;
        }

        const auto range_start = SystemClock::now();
        BatchPipeline pipeline;
        RangeOutcome outcome = mine_range(puzzle, buffer, session, config, pipeline);
        if (outcome.past_last_counter) {
            print_parts(std::cerr, "⚠️ Range ", session.range_index(), " would reach past the last nonce counter (p - 1): ",
                        "this block's nonces are used up; waiting for new work");
            return false;
        }
        if (outcome.found) outcome.next = hand_off_solution(puzzle, buffer, session, outcome, pipeline, range_start);
        ++session.range_index();
        if (pipeline.lost != cudaSuccess) {
            session.device_lost(pipeline.lost);
            return false;
        }
        switch (outcome.next) {
        case MiningSession::Next::SOLVED:
            return true;
        case MiningSession::Next::STOPPED:
        case MiningSession::Next::GIVE_WAY:
            return false;
        case MiningSession::Next::MINE:
            break;
        }
        session.pause(config.range_pause);
    }
}
