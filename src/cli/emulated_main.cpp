// corvane-miner-emu: the whole program on the emulator, for process-level tests and the soak run;
// built only with the emulated library, never into the product. Its extra inputs:
//   CRV_EMU_MINING="tree_height=4 range=64 ..."  shrinks the geometry and the timings so a run
//                                                 takes seconds;
//   CRV_EMU_FAULTS="launch:40:701 memcpy:300:1"   injects device faults: the 40th launch fails
//                                                 with error 701, the 300th copy with error 1
//                                                 (operation:nth call:cudaError_t code).
// The product's main has neither.
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run_miner.h"
#include "gpu/runtime.h"

namespace {

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
    const std::map<std::string, emu::Op> ops = {
        {"malloc", emu::Op::Malloc}, {"memset", emu::Op::Memset},   {"memcpy", emu::Op::Memcpy},
        {"launch", emu::Op::Launch}, {"kernel", emu::Op::Kernel},   {"synchronize", emu::Op::Synchronize}};
    for (const auto& [op, rest] : items("CRV_EMU_FAULTS", ':')) {
        const size_t colon = rest.find(':');
        if (ops.count(op) == 0 || colon == std::string::npos) continue;
        emu::fail_nth(ops.at(op), std::stoi(rest.substr(0, colon)),
                      static_cast<cudaError_t>(std::stoi(rest.substr(colon + 1))));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    MiningConfig config;
    using std::chrono::milliseconds;
    for (const auto& [key, text] : items("CRV_EMU_MINING", '=')) {
        const unsigned long long value = std::stoull(text);
        if (key == "tree_height") config.geometry.tree_height = value;
        else if (key == "range") config.driver.nonces_per_range = value;
        else if (key == "batch") config.driver.max_batch_size = value;
        else if (key == "range_pause_ms") config.driver.range_pause = milliseconds(value);
        else if (key == "fetch_pause_ms") config.fetch_pause = milliseconds(value);
        else if (key == "receive_timeout_ms") config.receive_timeout_s = static_cast<float>(value) / 1000.0f;
        else if (key == "start_window_ms") config.link.start_window = milliseconds(value);
        else if (key == "backoff_ms") config.link.backoff.first = milliseconds(value);
        else if (key == "backoff_cap_ms") config.link.backoff.cap = milliseconds(value);
    }
    inject_faults();
    return run_miner(std::vector<std::string>(argv, argv + argc), config);
}
