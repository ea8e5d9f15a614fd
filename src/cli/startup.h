// The normal start after the option scan: device checks and selection, banner, mining.
#pragma once

#include <functional>
#include <string>

#include "cli/options.h"

// Runs mining against the bridge at host:port until it ends. Returns false when mining could not
// start (the bridge was unreachable; the controller has reported it). May throw std::exception.
using MiningStarter = std::function<bool(const std::string& host, int port)>;

std::string miningBanner(const StartupSettings& settings);

// Device checks, cudaSetDevice, banner, then `start_mining`; returns the process exit status:
// 0 when mining ran and ended, 1 for a device error, an unreachable bridge or an escaped exception.
int startMiningOnDevice(const StartupSettings& settings, const MiningStarter& start_mining);
