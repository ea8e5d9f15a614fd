#include "cli/device_check.h"

#include <iostream>

#include "diag/console_line.h"
#include "gpu/runtime.h"

bool gpuAvailable(int gpu, const std::string& no_devices_line)
{
    int count = 0;
    cudaGetDeviceCount(&count);  // only the count matters: no device reads as 0
    if (count <= 0) {
        print_line(std::cerr, no_devices_line);
        return false;
    }
    if (gpu < 0 || gpu >= count) {
        print_parts(std::cerr, "❌ Error: GPU ", gpu, " not found!");
        print_parts(std::cerr, "   Available GPUs: 0 to ", count - 1);
        return false;
    }
    return true;
}
