// corvane-miner-emu: the whole program on the emulator, for process-level tests and the soak run;
// built only with the emulated library, never into the product. Its extra inputs:
//   CRV_EMU_MINING="tree_height=4 range=64 ..." shrinks the geometry and the timings so a run takes
//     seconds;
//   CRV_EMU_FAULT="kernel:20:700 sync:2:700:1" injects device faults through the emulator's hook:
//     OP:N:CODE fails the N-th call of OP (malloc, memset, memcpy, stream, launch, kernel, sync,
//     occupancy, device_count, set_device) with the cudaError_t numbered CODE; OP:N+:CODE fails
//     that call and every later one; a trailing :DEVICE counts only the calls made while that
//     device is current (for set_device, the calls selecting it); corrupt:BYTES flips a bit of
//     every later device-to-host copy of at least BYTES bytes (a hit's paths, for one);
//     hang:N[:DEVICE] makes the N-th kernel (on that device) never finish, as on a card that hangs;
//   CRV_EMU_DEVICE_COUNT=3, CRV_EMU_DEVICE_MEMORY_MB="1024,8,1024", CRV_EMU_DEVICE_CC="8.9,7.5"
//     and CRV_EMU_DRIVER_VERSION=12040 set the number of devices, each one's memory and compute
//     capability, and the driver (read by the emulator itself);
//   bench_calibration_ms and bench_hit_ms in CRV_EMU_MINING shorten the bench's pacing;
//   its HTTP API listens on a free port of 127.0.0.1 unless the command line says otherwise.
// The product's main has no such inputs.
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/run_miner.h"
#include "gpu/runtime.h"

namespace {

// "a<sep>b c<sep>d ..." from the environment variable `name`, as (a, b) pairs; items without the
// separator are skipped.
std::vector<std::pair<std::string, std::string>> items(const char* name, char separator)
{
    std::vector<std::pair<std::string, std::string>> out;
    const char* text = std::getenv(name);
    std::istringstream in(text ? text : "");
    for (std::string item; in >> item;) {
        const size_t at = item.find(separator);
        if (at != std::string::npos) out.emplace_back(item.substr(0, at), item.substr(at + 1));
    }
    return out;
}

void inject_faults()
{
    static const std::map<std::string, emu::Op> ops = {
        {"malloc", emu::Op::Malloc}, {"memset", emu::Op::Memset},   {"memcpy", emu::Op::Memcpy},
        {"stream", emu::Op::StreamCreate}, {"launch", emu::Op::Launch}, {"kernel", emu::Op::Kernel},
        {"sync", emu::Op::Synchronize},    {"occupancy", emu::Op::Occupancy},
        {"device_count", emu::Op::DeviceCount}, {"set_device", emu::Op::SetDevice}};
    for (const auto& [op, rest] : items("CRV_EMU_FAULT", ':')) {
        if (op == "corrupt") {
            emu::corrupt_copies_back(std::stoul(rest));
            continue;
        }
        if (op == "hang") {  // hang:N[:DEVICE]
            const size_t at = rest.find(':');
            emu::hang_nth(std::stoi(rest), at == std::string::npos ? -1 : std::stoi(rest.substr(at + 1)));
            continue;
        }
        const auto found = ops.find(op);
        if (found == ops.end()) continue;
        std::vector<int> fields;  // N, CODE and the optional DEVICE
        std::istringstream in(rest);
        for (std::string field; std::getline(in, field, ':');) fields.push_back(std::stoi(field));
        if (fields.size() < 2) continue;
        const std::string nth = rest.substr(0, rest.find(':'));
        const bool repeat = nth.back() == '+';  // "N+": that call and every later one
        emu::fail_nth(found->second, fields[0], static_cast<cudaError_t>(fields[1]), fields.size() > 2 ? fields[2] : -1,
                      repeat);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    MiningConfig config;
    BenchConfig bench;
    using std::chrono::milliseconds;
    for (const auto& [key, text] : items("CRV_EMU_MINING", '=')) {
        const unsigned long long value = std::stoull(text);
        if (key == "tree_height") config.geometry.tree_height = value;
        else if (key == "range") config.driver.nonces_per_range = value;
        else if (key == "batch") config.driver.max_batch_size = value;
        else if (key == "chunk") config.geometry.build.chunk_leaves = value;  // leaves are stored chunk by chunk
        else if (key == "watchdog_ms") config.driver.watchdog_ms = value;
        else if (key == "max_failures") config.max_card_failures = static_cast<int>(value);
        else if (key == "fetch_pause_ms") config.fetch_pause = milliseconds(value);
        else if (key == "receive_timeout_ms") config.receive_timeout_s = static_cast<float>(value) / 1000.0f;
        else if (key == "start_window_ms") config.link.start_window = milliseconds(value);
        else if (key == "backoff_ms") config.link.backoff.first = milliseconds(value);
        else if (key == "backoff_cap_ms") config.link.backoff.cap = milliseconds(value);
        else if (key == "status_ms") config.status_interval = milliseconds(value);
        else if (key == "margin_mb") config.geometry.build.memory_margin = value << 20;  // a GPU too small
        else if (key == "bench_calibration_ms") bench.calibration = milliseconds(value);
        else if (key == "bench_hit_ms") bench.hit_interval = milliseconds(value);
    }
    inject_faults();
    // Tests run several miners at once: each one's API takes a free port (its line says which),
    // unless the command line names another.
    std::vector<std::string> args(argv, argv + argc);
    if (!args.empty()) args.insert(args.begin() + 1, {"--api", "127.0.0.1:0"});
    return run_miner(args, config, bench);
}
