#include "cli/bench.h"

#include <algorithm>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/bench_session.h"
#include "cli/device_check.h"
#include "cli/test_data.h"
#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/runtime.h"
#include "hash/field.h"
#include "miner/card_threads.h"
#include "miner/miner_state.h"
#include "miner/stop_signal.h"
#include "mining/card_device.h"
#include "mining/kernel_image.h"
#include "mining/mining_driver.h"
#include "pow/guesser_buffer.h"

namespace {

using Clock = BenchSession::Clock;

const char* kernel_name(MiningKernel kernel)
{
    return mining_kernel_info(kernel).name;
}

const char* leaves_name(LeafStorage leaves)
{
    switch (leaves) {
    case LeafStorage::Stored:
        return "stored";
    case LeafStorage::Computed:
        return "computed";
    case LeafStorage::Partial:
        return "partial";
    case LeafStorage::Auto:
        break;
    }
    return "auto";
}

double seconds_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

std::string fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// Rates span a GPU's tens of millions and the emulator's hundreds: five significant digits.
std::string rate_text(double per_second)
{
    std::ostringstream text;
    text << std::setprecision(5) << per_second / 1e6;
    return text.str();
}

// The validation test's paths: fixed, and a puzzle like any other to the build and the kernels.
CheckedPuzzle bench_puzzle()
{
    CheckedPuzzle puzzle;
    puzzle.id = "bench";
    puzzle.prev_block = "bench";
    puzzle.threshold_text = "(set from the measured rate)";
    puzzle.mast_paths = TestData::get_mast_paths();
    return puzzle;  // the zero threshold: nothing meets it
}

// Met by about one candidate in `candidates`: element 4 decides (a uniform field element), so the
// elements below it sit at their largest.
Digest threshold_for_one_in(double candidates)
{
    const uint64_t top = field::P - 1;
    const long double share = static_cast<long double>(field::P) / std::max(static_cast<long double>(candidates), 1.0L);
    return Digest{{top, top, top, top, share >= static_cast<long double>(top) ? top : static_cast<uint64_t>(share)}};
}

std::string device_name(int gpu)
{
    cudaDeviceProp properties{};
    return crv_cuda_ok(cudaGetDeviceProperties(&properties, gpu), "get device properties") ? properties.name
                                                                                            : "unknown";
}

// What one card's bench adds to the total of several.
struct CardBench {
    int status = 1;
    double candidates_per_second = 0;
    double permutations_per_second = 0;
    uint64_t verified = 0;
    uint64_t failed = 0;
};

// How the launch is sized on this card: what the occupancy and the registers allow.
void print_launch(const BatchPipeline& pipeline)
{
    cudaFuncAttributes attributes{};
    const bool known = crv_cuda_ok(mining_kernel_attributes(pipeline.kernel, attributes), "kernel attributes");
    print_parts(std::cout, "Bench launch: ", pipeline.launch.block_size, " threads a block, ",
                pipeline.launch.blocks_per_multiprocessor, " blocks per multiprocessor, ",
                known ? std::to_string(attributes.numRegs) : std::string("unknown"), " registers, ",
                known ? std::to_string(attributes.localSizeBytes) : std::string("unknown"), " bytes of stack a thread");
}

// Mines until the session's deadline; false (reported) when a runtime call failed.
bool mine(const CheckedPuzzle& puzzle, const GuesserBuffer& buffer, BatchPipeline& pipeline, BenchSession& session,
          const MiningDriverConfig& driver, GpuStatus& failure)
{
    const SearchEnd end = continuousMiningLoop(puzzle, buffer, pipeline, session, driver);
    failure.take(end.failure);
    return end.failure.ok();
}

// The bench of card `gpu` on the calling thread, which selects it. Its buffer is its own, so cards
// bench side by side on threads of their own. Exit status 3 when the card's context was lost.
CardBench bench_card(int gpu, const StartupSettings& settings, const MiningConfig& config, const BenchConfig& bench)
{
    CardBench out;
    GpuStatus failure = use_card(gpu);
    if (!failure.ok()) return out;
    const std::chrono::milliseconds duration = std::chrono::seconds(settings.bench_seconds);
    print_parts(std::cout, "⏱️ Corvane CUDA Miner bench - GPU ", gpu, " (", device_name(gpu),
                ") - kernel ", kernel_name(settings.bench_kernel), ", leaves ", leaves_name(settings.bench_leaves), ", ",
                settings.bench_seconds, " s");

    GuesserGeometry geometry = config.geometry;
    geometry.build.leaves = settings.bench_leaves;
    geometry.build.stored_share = settings.bench_stored_share;
    CheckedPuzzle puzzle = bench_puzzle();
    GuesserBuffer buffer;
    const Clock::time_point build_start = Clock::now();
    if (!buildGuesserBuffer(puzzle, geometry, buffer, failure)) {
        print_line(std::cerr, "❌ Bench: the guesser buffer could not be built");
        if (failure.loses_context()) out.status = NO_CARD_LEFT_EXIT_STATUS;
        return out;
    }
    const double build_seconds = seconds_between(build_start, Clock::now());
    const std::string leaves = leaf_mode(buffer);
    print_parts(std::cout, "Bench build: ", fixed(build_seconds, 2), " s (tree height ", buffer.tree_height,
                ", leaves ", leaves, ")");

    MiningDriverConfig driver = config.driver;
    driver.kernel = settings.bench_kernel;
    BatchPipeline pipeline;
    BenchSession session(buffer);
    const Clock::time_point start = Clock::now();
    session.mine_until(start + std::min<Clock::duration>(bench.calibration, duration / 5));
    bool mined = mine(puzzle, buffer, pipeline, session, driver, failure);
    if (pipeline.ready()) print_launch(pipeline);
    const double calibrated = seconds_between(start, Clock::now());
    const double rate = static_cast<double>(session.candidates()) / calibrated;
    const double hit_seconds = std::chrono::duration<double>(bench.hit_interval).count();
    if (mined && session.candidates() > 0 && !stop_mining.load()) {
        puzzle.threshold = threshold_for_one_in(rate * hit_seconds);
        print_parts(std::cout, "Bench threshold: one hit expected every ", fixed(hit_seconds, 2), " s at the ",
                    rate_text(rate), " M candidates/s measured over the first ", fixed(calibrated, 2), " s");
        session.mine_until(start + duration);
        mined = mine(puzzle, buffer, pipeline, session, driver, failure);
    }
    const double mined_seconds = seconds_between(start, Clock::now());
    const uint64_t buffer_stored = buffer.stored_leafs, buffer_leafs = buffer.num_leafs;
    pipeline.release();
    buffer.cleanup();

    const double per_candidate = permutations_per_candidate(
        settings.bench_kernel, static_cast<double>(buffer_stored) / static_cast<double>(std::max<uint64_t>(1, buffer_leafs)));
    out.candidates_per_second = static_cast<double>(session.candidates()) / mined_seconds;
    out.permutations_per_second = out.candidates_per_second * static_cast<double>(per_candidate);
    out.verified = session.verified();
    out.failed = session.failed();
    print_parts(std::cout, "Bench mining: ", fixed(mined_seconds, 2), " s, ", session.candidates(), " candidates");
    print_parts(std::cout, "Bench rate: ", rate_text(out.candidates_per_second), " M candidates/s, ",
                rate_text(out.permutations_per_second), " M permutations/s (", per_candidate, " per candidate, kernel ",
                kernel_name(settings.bench_kernel), ", leaves ", leaves, ")");
    const double expected = std::max(0.0, mined_seconds - calibrated) / hit_seconds;
    print_parts(std::cout, "Bench hits: ", session.verified(), " verified, ", session.failed(), " failed (about ",
                fixed(expected, 1), " expected)");
    if (failure.loses_context()) {
        out.status = NO_CARD_LEFT_EXIT_STATUS;
        return out;
    }
    if (session.candidates() == 0) {
        print_line(std::cerr, "❌ Bench: no batch of candidates ran");
        return out;
    }
    out.status = mined && session.failed() == 0 ? 0 : 1;
    return out;
}

}  // namespace

int runBench(const StartupSettings& settings, const MiningConfig& config, const BenchConfig& bench)
{
    const std::vector<int> gpus =
        minableGpus(availableGpus(settings.gpus, settings.all_gpus, "❌ Error: No CUDA devices found!"));
    if (gpus.empty()) return 1;
    std::vector<CardBench> cards(gpus.size());
    std::vector<std::size_t> slots;
    for (std::size_t slot = 0; slot < gpus.size(); ++slot) slots.push_back(slot);
    on_each(slots, [&](std::size_t slot) {
        line_prefix() = card_prefix(gpus[slot], gpus.size());
        try {
            cards[slot] = bench_card(gpus[slot], settings, config, bench);
        } catch (const std::exception& error) {  // this card's bench fails; the others go on
            print_line(std::cerr, std::string("Error: ") + error.what());
        }
    });

    CardBench total{0};
    for (const CardBench& card : cards) {
        total.status = std::max(total.status, card.status);
        total.candidates_per_second += card.candidates_per_second;
        total.permutations_per_second += card.permutations_per_second;
        total.verified += card.verified;
        total.failed += card.failed;
    }
    if (gpus.size() > 1)
        print_parts(std::cout, "Bench total: ", gpus.size(), " GPUs, ", rate_text(total.candidates_per_second),
                    " M candidates/s, ", rate_text(total.permutations_per_second), " M permutations/s, ", total.verified,
                    " hits verified, ", total.failed, " failed");
    // Only once every card's bench has ended: a reset must not pull memory from under another.
    for (const int gpu : gpus)
        if (crv_cuda_ok(cudaSetDevice(gpu), "set device")) crv_cuda_ok(cudaDeviceReset(), "device reset");
    return total.status;
}
