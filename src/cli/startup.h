// The normal start after the option scan: device checks and selection, banner, mining.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/options.h"

// Runs mining against the bridge at host:port on `gpus` until it ends. Returns false when mining
// could not start (the bridge was unreachable; the controller has reported it). May throw
// std::exception.
using MiningStarter = std::function<bool(const std::string& host, int port, const std::vector<int>& gpus)>;

// "🌊 Corvane CUDA Miner - GPU 1 - Bridge H:P", or "... - GPUs 0, 2, 3 - ..." for several cards.
std::string miningBanner(const StartupSettings& settings, const std::vector<int>& gpus);

// Device checks (the cards this miner cannot run on are left out), banner, then `start_mining`;
// returns the process exit status: 0 when mining ran and ended, 1 when no card can mine, for an
// unreachable bridge or an escaped exception.
int startMiningOnDevice(const StartupSettings& settings, const MiningStarter& start_mining);
