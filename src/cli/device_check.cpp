#include "cli/device_check.h"

#include <iostream>

#include "diag/console_line.h"
#include "gpu/runtime.h"

namespace {

// The number of devices; with none, `no_devices_line` is written and 0 returned.
int device_count(const std::string& no_devices_line)
{
    int count = 0;
    cudaGetDeviceCount(&count);  // only the count matters: no device reads as 0
    if (count > 0) return count;
    print_line(std::cerr, no_devices_line);
    return 0;
}

bool present(int gpu, int count)
{
    if (gpu >= 0 && gpu < count) return true;
    print_parts(std::cerr, "❌ Error: GPU ", gpu, " not found!");
    print_parts(std::cerr, "   Available GPUs: 0 to ", count - 1);
    return false;
}

}  // namespace

bool gpuAvailable(int gpu, const std::string& no_devices_line)
{
    const int count = device_count(no_devices_line);
    return count > 0 && present(gpu, count);
}

std::vector<int> availableGpus(const std::vector<int>& listed, bool all, const std::string& no_devices_line)
{
    const int count = device_count(no_devices_line);
    if (count == 0) return {};
    if (!all) {
        for (int gpu : listed)
            if (!present(gpu, count)) return {};
        return listed;
    }
    std::vector<int> every;
    for (int gpu = 0; gpu < count; ++gpu) every.push_back(gpu);
    return every;
}
