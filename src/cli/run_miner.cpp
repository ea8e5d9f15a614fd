#include "cli/run_miner.h"

#include <iostream>

#include "cli/options.h"
#include "cli/startup.h"
#include "cli/validation_test.h"
#include "diag/console_line.h"
#include "gpu/runtime.h"
#include "miner/shared_state.h"
#include "miner/stop_signal.h"

int run_miner(const std::vector<std::string>& args, const MiningConfig& config, const BenchConfig& bench)
{
    cudaDeviceReset();
    // Before anything else can start: an interrupt during start-up already requests the stop.
    StopSignalWatcher stop_watcher;

    const OptionScan scan =
        scanStartupOptions(args.empty() ? std::vector<std::string>{""} : args, config.driver.nonces_per_range);
    switch (scan.action) {
    case StartupAction::ShowHelp:
        std::cout << helpText(args.empty() ? std::string() : args[0]) << std::flush;
        return 0;
    case StartupAction::Fail:
        print_line(std::cerr, scan.error);
        return scan.exit_status;
    case StartupAction::RunTest:  // on the first card listed
        return runValidationTest(scan.settings.gpu);
    case StartupAction::Bench: {
        const int status = runBench(scan.settings, config, bench);
        return device_lost_error.load() != 0 ? DEVICE_LOST_EXIT_STATUS : status;
    }
    case StartupAction::Mine:
        break;
    }

    // Written before any other thread that reads them exists.
    if (scan.settings.nonce_offset_given) {
        cli_nonce_offset = scan.settings.nonce_offset;
        global_nonce_offset = scan.settings.nonce_offset;
    }
    const int status =
        startMiningOnDevice(scan.settings, [&](const std::string& host, int port, const std::vector<int>& gpus) {
            MiningConfig mining = config;
            mining.gpus = gpus;
            return startUnifiedMining(host, port, mining);
        });
    // A lost device ends the process, after the usual shutdown, with a status of its own.
    return device_lost_error.load() != 0 ? DEVICE_LOST_EXIT_STATUS : status;
}
