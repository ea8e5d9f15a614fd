#include "cli/startup.h"

#include <exception>
#include <iostream>

#include "cli/device_check.h"
#include "diag/console_line.h"
#include "gpu/runtime.h"

std::string miningBanner(const StartupSettings& settings)
{
    return "🌊 Corvane CUDA Miner - GPU " + std::to_string(settings.gpu) + " - Bridge " + settings.host + ":" +
           std::to_string(settings.port);
}

int startMiningOnDevice(const StartupSettings& settings, const MiningStarter& start_mining)
{
    if (!gpuAvailable(settings.gpu, "❌ Error: No CUDA devices found!")) return 1;
    // Mining runs on this thread, so this stays the device of every GPU call that follows.
    cudaSetDevice(settings.gpu);
    print_line(std::cout, miningBanner(settings));
    bool mined = false;
    try {
        mined = start_mining(settings.host, settings.port);
    } catch (const std::exception& error) {
        print_line(std::cerr, std::string("Error: ") + error.what());
        return 1;
    }
    cudaDeviceReset();
    return mined ? 0 : 1;
}
