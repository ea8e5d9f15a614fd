// corvane-miner-emu: the whole program on the emulator, for process-level tests; built only with
// the emulated library, never into the product. Its one extra input,
// CRV_EMU_MINING="tree_height=4 range=64 ...", shrinks the geometry and the timings so a run takes
// seconds; the product's main has no such input.
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run_miner.h"

int main(int argc, char** argv)
{
    MiningConfig config;
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
    }
    return run_miner(std::vector<std::string>(argv, argv + argc), config);
}
