// corvane-miner-emu: the whole program on the emulator, for process-level tests; built only with
// the emulated library, never into the product. Its extra inputs:
//   CRV_EMU_MINING="tree_height=4 range=64 ..." shrinks the geometry and the timings so a run takes
//     seconds;
//   CRV_EMU_FAULT="kernel:20:700 sync:2:700" injects device faults through the emulator's hook:
//     OP:N:CODE fails the N-th call of OP (malloc, memset, memcpy, stream, launch, kernel, sync,
//     occupancy) with the cudaError_t numbered CODE; corrupt:BYTES flips a bit of every later
//     device-to-host copy of at least BYTES bytes (a hit's paths, for one);
//   bench_calibration_ms and bench_hit_ms in CRV_EMU_MINING shorten the bench's pacing.
// The product's main has no such inputs.
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run_miner.h"
#include "gpu/runtime.h"

namespace {

void inject_faults(const char* text)
{
    static const std::map<std::string, emu::Op> ops = {
        {"malloc", emu::Op::Malloc}, {"memset", emu::Op::Memset},   {"memcpy", emu::Op::Memcpy},
        {"stream", emu::Op::StreamCreate}, {"launch", emu::Op::Launch}, {"kernel", emu::Op::Kernel},
        {"sync", emu::Op::Synchronize},    {"occupancy", emu::Op::Occupancy}};
    std::istringstream in(text ? text : "");
    for (std::string item; in >> item;) {
        std::istringstream fields(item);
        std::string op, nth, code;
        if (!std::getline(fields, op, ':') || !std::getline(fields, nth, ':')) continue;
        if (op == "corrupt") {
            emu::corrupt_copies_back(std::stoul(nth));
            continue;
        }
        if (!std::getline(fields, code)) continue;
        const auto found = ops.find(op);
        if (found == ops.end()) continue;
        emu::fail_nth(found->second, std::stoi(nth), static_cast<cudaError_t>(std::stoi(code)));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    MiningConfig config;
    BenchConfig bench;
    const char* text = std::getenv("CRV_EMU_MINING");
    std::istringstream in(text ? text : "");
    for (std::string item; in >> item;) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = item.substr(0, eq);
        const unsigned long long value = std::stoull(item.substr(eq + 1));
        if (key == "tree_height") config.geometry.tree_height = value;
        else if (key == "range") config.driver.nonces_per_range = value;
        else if (key == "batch") config.driver.max_batch_size = value;
        else if (key == "range_pause_ms") config.driver.range_pause = std::chrono::milliseconds(value);
        else if (key == "fetch_pause_ms") config.fetch_pause = std::chrono::milliseconds(value);
        else if (key == "receive_timeout_ms") config.receive_timeout_s = static_cast<float>(value) / 1000.0f;
        else if (key == "status_ms") config.status_interval = std::chrono::milliseconds(value);
        else if (key == "bench_calibration_ms") bench.calibration = std::chrono::milliseconds(value);
        else if (key == "bench_hit_ms") bench.hit_interval = std::chrono::milliseconds(value);
    }
    inject_faults(std::getenv("CRV_EMU_FAULT"));
    return run_miner(std::vector<std::string>(argv, argv + argc), config, bench);
}
