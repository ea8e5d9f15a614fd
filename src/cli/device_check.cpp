#include "cli/device_check.h"

#include <iostream>

#include "diag/console_line.h"
#include "diag/gpu_status.h"
#include "gpu/runtime.h"
#include "mining/kernel_image.h"

namespace {

std::string cuda_version_text(int version)
{
    return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

// A runtime that cannot count the devices, for all that the cards are there, mostly means a driver
// older than the runtime this build links: say which driver this is and which one is needed.
void print_driver_failure(cudaError_t error)
{
    int driver = 0;
    const bool known = cudaDriverGetVersion(&driver) == cudaSuccess && driver > 0;
    print_parts(std::cerr, "❌ Error: the CUDA devices cannot be used: ", cudaGetErrorString(error), " (",
                known ? "the installed driver supports CUDA " + cuda_version_text(driver) : "no NVIDIA driver is loaded",
                "; this miner needs a driver for CUDA ", cuda_version_text(CUDART_VERSION / 1000 * 1000), " or later)");
}

// The number of devices; with none, a line says why and 0 is returned.
int device_count(const std::string& no_devices_line)
{
    int count = 0;
    const cudaError_t error = cudaGetDeviceCount(&count);
    cudaGetLastError();  // the failure is reported here, and must not fail a later check
    if (error == cudaSuccess && count > 0) return count;
    if (error == cudaSuccess || error == cudaErrorNoDevice)
        print_line(std::cerr, no_devices_line);
    else
        print_driver_failure(error);
    return 0;
}

bool present(int gpu, int count)
{
    if (gpu >= 0 && gpu < count) return true;
    print_parts(std::cerr, "❌ Error: GPU ", gpu, " not found!");
    print_parts(std::cerr, "   Available GPUs: 0 to ", count - 1);
    return false;
}

// Empty when the miner can run on `gpu`; otherwise why not.
std::string unsupported(int gpu, const cudaDeviceProp& properties)
{
    if (properties.major < MIN_COMPUTE_MAJOR || (properties.major == MIN_COMPUTE_MAJOR && properties.minor < MIN_COMPUTE_MINOR))
        return "this miner needs compute capability " + std::to_string(MIN_COMPUTE_MAJOR) + "." +
               std::to_string(MIN_COMPUTE_MINOR) + " or later";
    GpuStatus status;
    if (!status.check(cudaSetDevice(gpu), "set device")) return "it cannot be selected (" + status.text() + ")";
    cudaFuncAttributes attributes{};
    const cudaError_t loadable = mining_kernel_attributes(MiningKernel::fast, attributes);
    cudaGetLastError();
    if (loadable != cudaSuccess)
        return std::string("this build of the miner has no code it can run (") + cudaGetErrorString(loadable) + ")";
    return "";
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

std::vector<int> minableGpus(const std::vector<int>& gpus)
{
    std::vector<int> minable;
    for (const int gpu : gpus) {
        cudaDeviceProp properties{};
        GpuStatus status;
        const std::string why = status.check(cudaGetDeviceProperties(&properties, gpu), "get device properties")
                                    ? unsupported(gpu, properties)
                                    : "its properties cannot be read (" + status.text() + ")";
        if (why.empty()) {
            minable.push_back(gpu);
            continue;
        }
        print_parts(std::cerr, "❌ GPU ", gpu, " (", properties.name, ", compute capability ", properties.major, ".",
                    properties.minor, ") is left out: ", why);
    }
    return minable;
}
