#include "cli/startup.h"

#include <exception>
#include <iostream>

#include "gpu/runtime.h"

int checkMiningDevice(int gpu)
{
    int count = 0;
    cudaGetDeviceCount(&count);  // only the count matters: no device reads as 0
    if (count <= 0) {
        std::cerr << "❌ Error: No CUDA devices found!" << std::endl;
        return 1;
    }
    if (gpu >= count) {
        std::cerr << "❌ Error: GPU " << gpu << " not found!" << std::endl;
        std::cerr << "   Available GPUs: 0 to " << (count - 1) << std::endl;
        return 1;
    }
    return 0;
}

std::string miningBanner(const StartupSettings& settings)
{
    return "🌊 Corvane CUDA Miner - GPU " + std::to_string(settings.gpu) + " - Bridge " + settings.host + ":" +
           std::to_string(settings.port);
}

int startMiningOnDevice(const StartupSettings& settings, const MiningStarter& start_mining)
{
    if (checkMiningDevice(settings.gpu) != 0) return 1;
    // Mining runs on this thread, so this stays the device of every GPU call that follows.
    cudaSetDevice(settings.gpu);
    std::cout << miningBanner(settings) << std::endl;
    bool mined = false;
    try {
        mined = start_mining(settings.host, settings.port);
    } catch (const std::exception& error) {
        std::cerr << "Error: " << error.what() << std::endl;
        return 1;
    }
    cudaDeviceReset();
    return mined ? 0 : 1;
}
