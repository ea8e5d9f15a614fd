// The command line of the miner: one left-to-right pass that ends in exactly one action.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/api_settings.h"
#include "mining/mining_driver.h"
#include "mining/mining_kernel_choice.h"
#include "pow/build_config.h"

struct StartupSettings {
    std::string host = "127.0.0.1";
    int port = 5002;
    // --gpu: one index, a list of them or `all`. The validation test mode runs on `gpu`, the first
    // card listed; mining and the bench run on `gpus` (in the given order), or with `all_gpus` on
    // every device, which the device check resolves.
    int gpu = 0;
    std::vector<int> gpus = {0};
    bool all_gpus = false;
    bool nonce_offset_given = false;  // --nonce-offset seen: the range index below replaces 0
    uint64_t nonce_offset = 0;
    // Read by --bench only.
    int bench_seconds = 20;
    MiningKernel bench_kernel = MiningKernel::fast;
    LeafStorage bench_leaves = LeafStorage::Auto;
    double bench_stored_share = 0;  // --leaves partial:F; 0 with partial: as many as fit
    // --api and --api-token: the HTTP API served while mining.
    ApiSettings api;
    std::string log_file;  // --log-file: every console line appended there too; empty: none
    int temp_limit = 0;    // --temp-limit, in °C: a card this hot pauses; 0: none
};

enum class StartupAction {
    Mine,      // device checks, then mining with `settings`
    RunTest,   // the validation test mode on `settings.gpu` (the index as scanned so far)
    ShowHelp,  // print helpText, status 0
    Bench,     // device checks, then the bench on `settings.gpu`
    Fail,      // print `error` on standard error, status 1
};

struct OptionScan {
    StartupAction action = StartupAction::Mine;
    StartupSettings settings;
    std::string error;  // one line, without its newline
    int exit_status = 0;
};

// args[0] is the program name, as the process received it. Words after --test or --help are never
// examined; unknown words, stray values and a value option without its value are ignored. --bench
// chooses the bench instead of mining; the scan goes on, so its options may follow it. Mining with
// the API listening beyond loopback and no token fails once the scan has seen every option.
// `nonces_per_range` bounds --nonce-offset: the counters of its first range must stay below p.
OptionScan scanStartupOptions(const std::vector<std::string>& args,
                              uint64_t nonces_per_range = MAX_NONCES_PER_RANGE);

// The help text, every line ended by a newline.
std::string helpText(const std::string& program_name);
