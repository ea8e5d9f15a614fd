// corvane-miner: option scan, then exactly one of help, the validation test mode or mining.
#include <iostream>
#include <string>
#include <vector>

#include "bridge/mining_controller.h"
#include "bridge/shared_state.h"
#include "bridge/stop_signal.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "cli/validation_test.h"
#include "gpu/runtime.h"

#if defined(CRV_EMULATOR)
#include <cstdlib>
#include <sstream>

namespace {

// Test equipment of the emulated executable only: CRV_EMU_MINING="tree_height=6 range=4096 ..."
// shrinks the geometry and timings so process-level tests run in seconds. The product has no such
// input and always mines with the defaults.
MiningConfig emulatedMiningConfig()
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
    return config;
}

}  // namespace
#endif

int main(int argc, char** argv)
{
    cudaDeviceReset();
    // Before anything else can start: an interrupt during start-up already requests the stop.
    StopSignalWatcher stop_watcher;

    const std::vector<std::string> args(argv, argv + argc);
    const OptionScan scan = scanStartupOptions(args.empty() ? std::vector<std::string>{""} : args);
    switch (scan.action) {
    case StartupAction::ShowHelp:
        std::cout << helpText(args.empty() ? std::string() : args[0]) << std::flush;
        return 0;
    case StartupAction::Fail:
        std::cerr << scan.error << std::endl;
        return scan.exit_status;
    case StartupAction::RunTest:
        return runValidationTest(scan.settings.gpu);
    case StartupAction::Mine:
        break;
    }

    // Written before any other thread that reads them exists.
    if (scan.settings.nonce_offset_given) {
        cli_nonce_offset = scan.settings.nonce_offset;
        global_nonce_offset = scan.settings.nonce_offset;
    }
    MiningConfig config;
#if defined(CRV_EMULATOR)
    config = emulatedMiningConfig();
#endif
    return startMiningOnDevice(scan.settings, [&](const std::string& host, int port) {
        return startUnifiedMining(host, port, config);
    });
}
