// The program behind the entry point: the option scan, then exactly one of help, the validation
// test mode, the bench or mining. The product's main passes the default configuration; the emulated
// executable of the tests passes a shrunken one.
#pragma once

#include <string>
#include <vector>

#include "cli/bench.h"
#include "miner/mining_controller.h"

// `args` is the argument vector as the process received it. Returns the exit status.
int run_miner(const std::vector<std::string>& args, const MiningConfig& config, const BenchConfig& bench = {});
