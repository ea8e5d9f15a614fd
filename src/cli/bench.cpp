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
#include "mining/mining_driver.h"
#include "pow/guesser_buffer.h"

namespace {

using Clock = BenchSession::Clock;

const char* kernel_name(MiningKernel kernel)
{
    return kernel == MiningKernel::fast ? "fast" : "reference";
}

const char* leaves_name(LeafStorage leaves)
{
    switch (leaves) {
    case LeafStorage::Stored:
        return "stored";
    case LeafStorage::Computed:
        return "computed";
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

// The bench of the current device `gpu`, its lines as the single bench prints them. Its buffer is
// its own, so cards bench side by side on threads of their own.
CardBench bench_card(int gpu, const StartupSettings& settings, const MiningConfig& config, const BenchConfig& bench)
{
    CardBench out;
    const std::chrono::milliseconds duration = std::chrono::seconds(settings.bench_seconds);
    print_parts(std::cout, "⏱️ Corvane CUDA Miner bench - GPU ", gpu, " (", device_name(gpu),
                ") - kernel ", kernel_name(settings.bench_kernel), ", leaves ", leaves_name(settings.bench_leaves), ", ",
                settings.bench_seconds, " s");

    GuesserGeometry geometry = config.geometry;
    geometry.build.leaves = settings.bench_leaves;
    CheckedPuzzle puzzle = bench_puzzle();
    GuesserBuffer buffer;
    const Clock::time_point build_start = Clock::now();
    if (!buildGuesserBuffer(puzzle, geometry, buffer)) {
        print_line(std::cerr, "❌ Bench: the guesser buffer could not be built");
        return out;
    }
    const double build_seconds = seconds_between(build_start, Clock::now());
    const LeafStorage leaves = buffer.d_leafs != nullptr ? LeafStorage::Stored : LeafStorage::Computed;
    print_parts(std::cout, "Bench build: ", fixed(build_seconds, 2), " s (tree height ", buffer.tree_height,
                ", leaves ", leaves_name(leaves), ")");

    MiningDriverConfig driver = config.driver;
    driver.kernel = settings.bench_kernel;
    driver.range_pause = std::chrono::milliseconds(0);
    BenchSession session(buffer);
    const Clock::time_point start = Clock::now();
    session.mine_until(start + std::min<Clock::duration>(bench.calibration, duration / 5));
    continuousMiningLoop(puzzle, buffer, session, driver);
    const double calibrated = seconds_between(start, Clock::now());
    const double rate = static_cast<double>(session.candidates()) / calibrated;
    const double hit_seconds = std::chrono::duration<double>(bench.hit_interval).count();
    if (session.candidates() > 0 && !session.stop_requested()) {
        puzzle.threshold = threshold_for_one_in(rate * hit_seconds);
        print_parts(std::cout, "Bench threshold: one hit expected every ", fixed(hit_seconds, 2), " s at the ",
                    rate_text(rate), " M candidates/s measured over the first ", fixed(calibrated, 2), " s");
        session.mine_until(start + duration);
        continuousMiningLoop(puzzle, buffer, session, driver);
    }
    const double mined = seconds_between(start, Clock::now());
    buffer.cleanup();

    const uint64_t per_candidate = permutations_per_candidate(settings.bench_kernel, leaves);
    out.candidates_per_second = static_cast<double>(session.candidates()) / mined;
    out.permutations_per_second = out.candidates_per_second * static_cast<double>(per_candidate);
    out.verified = session.verified();
    out.failed = session.failed();
    print_parts(std::cout, "Bench mining: ", fixed(mined, 2), " s, ", session.candidates(), " candidates");
    print_parts(std::cout, "Bench rate: ", rate_text(out.candidates_per_second), " M candidates/s, ",
                rate_text(out.permutations_per_second), " M permutations/s (", per_candidate, " per candidate, kernel ",
                kernel_name(settings.bench_kernel), ", leaves ", leaves_name(leaves), ")");
    const double expected = std::max(0.0, mined - calibrated) / hit_seconds;
    print_parts(std::cout, "Bench hits: ", session.verified(), " verified, ", session.failed(), " failed (about ",
                fixed(expected, 1), " expected)");
    if (session.candidates() == 0) {
        print_line(std::cerr, "❌ Bench: no batch of candidates ran");
        return out;
    }
    out.status = session.failed() == 0 && !session.lost() ? 0 : 1;
    return out;
}

// Every card at once, each on a thread of its own that selects it and names it in front of its
// lines; then the sums on this thread.
int bench_cards(const std::vector<int>& gpus, const StartupSettings& settings, const MiningConfig& config,
                const BenchConfig& bench)
{
    std::vector<CardBench> cards(gpus.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < gpus.size(); ++i)
        threads.emplace_back([&, i] {
            line_prefix() = "GPU " + std::to_string(gpus[i]) + ": ";
            try {
                cudaSetDevice(gpus[i]);
                cards[i] = bench_card(gpus[i], settings, config, bench);
            } catch (const std::exception& error) {  // this card's bench fails; the others go on
                print_line(std::cerr, std::string("Error: ") + error.what());
            }
        });
    for (std::thread& thread : threads) thread.join();

    CardBench total{0};
    for (const CardBench& card : cards) {
        total.status = std::max(total.status, card.status);
        total.candidates_per_second += card.candidates_per_second;
        total.permutations_per_second += card.permutations_per_second;
        total.verified += card.verified;
        total.failed += card.failed;
    }
    print_parts(std::cout, "Bench total: ", gpus.size(), " GPUs, ", rate_text(total.candidates_per_second),
                " M candidates/s, ", rate_text(total.permutations_per_second), " M permutations/s, ", total.verified,
                " hits verified, ", total.failed, " failed");
    return total.status;
}

}  // namespace

int runBench(const StartupSettings& settings, const MiningConfig& config, const BenchConfig& bench)
{
    const std::vector<int> gpus = availableGpus(settings.gpus, settings.all_gpus, "❌ Error: No CUDA devices found!");
    if (gpus.empty()) return 1;
    int status = 1;
    if (gpus.size() == 1) {
        cudaSetDevice(gpus.front());
        status = bench_card(gpus.front(), settings, config, bench).status;
    } else {
        status = bench_cards(gpus, settings, config, bench);
    }
    // Only once every card's bench has ended: a reset must not pull memory from under another.
    for (int gpu : gpus) {
        cudaSetDevice(gpu);
        cudaDeviceReset();
    }
    return status;
}
