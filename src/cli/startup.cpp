#include "cli/startup.h"

#include <exception>
#include <iostream>

#include "cli/device_check.h"
#include "diag/console_line.h"

std::string miningBanner(const StartupSettings& settings, const std::vector<int>& gpus)
{
    std::string cards = gpus.size() == 1 ? "GPU " : "GPUs ";
    for (size_t i = 0; i < gpus.size(); ++i) cards += (i == 0 ? "" : ", ") + std::to_string(gpus[i]);
    return "🌊 Corvane CUDA Miner - " + cards + " - Bridge " + settings.host + ":" + std::to_string(settings.port);
}

int startMiningOnDevice(const StartupSettings& settings, const MiningStarter& start_mining)
{
    const std::vector<int> gpus =
        minableGpus(availableGpus(settings.gpus, settings.all_gpus, "❌ Error: No CUDA devices found!"));
    if (gpus.empty()) return 1;
    print_line(std::cout, miningBanner(settings, gpus));
    bool mined = false;
    try {
        mined = start_mining(settings.host, settings.port, gpus);
    } catch (const std::exception& error) {
        print_line(std::cerr, std::string("Error: ") + error.what());
        return 1;
    }
    return mined ? 0 : 1;
}
