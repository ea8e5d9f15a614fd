#include "cli/run_miner.h"

#include <iostream>
#include <memory>

#include "api/api_server.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "cli/validation_test.h"
#include "diag/console_line.h"
#include "diag/log_file.h"
#include "miner/miner_state.h"
#include "miner/stop_signal.h"

int run_miner(const std::vector<std::string>& args, const MiningConfig& config, const BenchConfig& bench)
{
    // What the miner's threads share, for the whole run.
    MinerState state;
    // Before anything else can start: an interrupt during start-up already requests the stop.
    StopSignalWatcher stop_watcher(state);

    const OptionScan scan =
        scanStartupOptions(args.empty() ? std::vector<std::string>{""} : args, config.driver.nonces_per_range);
    if (!scan.settings.log_file.empty() && scan.action != StartupAction::ShowHelp &&
        scan.action != StartupAction::Fail) {
        const std::string error = open_log_file(scan.settings.log_file);
        if (!error.empty()) {
            print_line(std::cerr, "❌ " + error);
            return 1;
        }
    }
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
        return runBench(scan.settings, config, bench);
    }
    case StartupAction::Mine:
        break;
    }

    // Written before any other thread that reads them exists.
    if (scan.settings.nonce_offset_given) {
        state.cli_nonce_offset = scan.settings.nonce_offset;
        state.global_nonce_offset = scan.settings.nonce_offset;
    }
    // Served from the snapshots the status reporter publishes, on a thread of its own.
    std::unique_ptr<ApiServer> api;
    if (scan.settings.api.enabled) {
        api = std::make_unique<ApiServer>(scan.settings.api, state.board);
        const std::string error = api->start();
        if (!error.empty()) {
            print_line(std::cerr, "⚠️ " + error + ": mining goes on without the HTTP API");
            api.reset();
        } else {
            print_line(std::cout, "🌐 HTTP API at http://" + apiAddressText(scan.settings.api.host, api->port()) + "/");
        }
    }
    const int status =
        startMiningOnDevice(scan.settings, [&](const std::string& host, int port, const std::vector<int>& gpus) {
            MiningConfig mining = config;
            mining.gpus = gpus;
            mining.temp_limit_c = scan.settings.temp_limit;
            return startUnifiedMining(host, port, state, mining);
        });
    // No card left to mine ends the process, after the usual shutdown, with a status of its own.
    return state.exit_status() != 0 ? state.exit_status() : status;
}
