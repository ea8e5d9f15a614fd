// The virtual devices: versions, count, selection, properties, attributes, flags and the
// occupancy answer.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gpu/emulator/state.h"

using emu::Op;
using emu::state;

namespace {

cudaError_t check_ordinal(const emu::State& s, int device)
{
    const cudaError_t status = emu::check_device(s);
    if (status != cudaSuccess) return status;
    return device >= 0 && device < s.config.device_count ? cudaSuccess : cudaErrorInvalidDevice;
}

// Device d sits on bus 0x0D + d, so ids carry hex letters as real ones do.
int pci_bus(int device)
{
    return 0x0D + device;
}

}  // namespace

cudaError_t cudaDriverGetVersion(int* version)
{
    if (version == nullptr) return emu::fail(cudaErrorInvalidValue);
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    *version = s.config.driver_version;
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version)
{
    if (version == nullptr) return emu::fail(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const cudaError_t fault = emu::take_fault(s, Op::DeviceCount);
    const cudaError_t status = fault != cudaSuccess ? fault : emu::check_device(s);
    if (fault == cudaSuccess && status != cudaErrorInsufficientDriver) *count = s.config.device_count;
    return emu::fail(status);
}

cudaError_t cudaSetDevice(int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = check_ordinal(s, device);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::SetDevice, device);
    if (status != cudaSuccess) return emu::fail(status);
    emu::current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const cudaError_t status = emu::check_device(s);
    if (status != cudaSuccess) return emu::fail(status);
    *device = emu::current_device;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const cudaError_t status = check_ordinal(s, device);
    if (status != cudaSuccess) return emu::fail(status);
    const emu::VirtualDevice& dev = emu::device_of(s, device);
    std::memset(prop, 0, sizeof(*prop));
    std::strncpy(prop->name, dev.name.c_str(), sizeof(prop->name) - 1);
    prop->totalGlobalMem = dev.total_memory;
    prop->warpSize = dev.warp_size;
    prop->maxThreadsPerBlock = dev.max_threads_per_block;
    prop->major = dev.major;
    prop->minor = dev.minor;
    prop->multiProcessorCount = dev.multiprocessor_count;
    prop->maxThreadsPerMultiProcessor = dev.max_threads_per_multiprocessor;
    prop->maxBlocksPerMultiProcessor = dev.max_blocks_per_multiprocessor;
    prop->pciBusID = pci_bus(device);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const cudaError_t status = check_ordinal(s, device);
    if (status != cudaSuccess) return emu::fail(status);
    const emu::VirtualDevice& dev = emu::device_of(s, device);
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = dev.max_threads_per_block; return cudaSuccess;
    case cudaDevAttrWarpSize: *value = dev.warp_size; return cudaSuccess;
    case cudaDevAttrMultiProcessorCount: *value = dev.multiprocessor_count; return cudaSuccess;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = dev.max_threads_per_multiprocessor; return cudaSuccess;
    case cudaDevAttrMaxBlocksPerMultiprocessor: *value = dev.max_blocks_per_multiprocessor; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMajor: *value = dev.major; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMinor: *value = dev.minor; return cudaSuccess;
    }
    return emu::fail(cudaErrorInvalidValue);
}

cudaError_t cudaDeviceGetPCIBusId(char* id, int length, int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = check_ordinal(s, device);
    if (status == cudaSuccess && (id == nullptr || length <= 0)) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    std::snprintf(id, static_cast<size_t>(length), "%04X:%02X:%02X.%X", 0, pci_bus(device), 0, 0);
    return cudaSuccess;
}

cudaError_t cudaSetDeviceFlags(unsigned int flags)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    const unsigned int schedule = flags & cudaDeviceScheduleMask;
    const unsigned int known =
        cudaDeviceScheduleMask | cudaDeviceMapHost | cudaDeviceLmemResizeToMax | cudaDeviceSyncMemops;
    if (status == cudaSuccess && ((flags & ~known) != 0 || (schedule & (schedule - 1)) != 0))
        status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    s.flags[emu::current_device] = flags;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceFlags(unsigned int* flags)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && flags == nullptr) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    const auto set = s.flags.find(emu::current_device);
    *flags = (set != s.flags.end() ? set->second : cudaDeviceScheduleAuto) | cudaDeviceMapHost;
    return cudaSuccess;
}

cudaError_t emu::occupancy(int* blocks, int block_size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const emu::VirtualDevice& dev = emu::device_of(s, emu::current_device);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && !emu::has_kernel_image(dev)) status = cudaErrorNoKernelImageForDevice;
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Occupancy);
    if (status == cudaSuccess && block_size <= 0) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    if (block_size > dev.max_threads_per_block || block_size > dev.kernel_max_threads_per_block) {
        *blocks = 0;
        return cudaSuccess;
    }
    int rounded = (block_size + dev.warp_size - 1) / dev.warp_size * dev.warp_size;
    *blocks = std::min(dev.max_blocks_per_multiprocessor, dev.max_threads_per_multiprocessor / rounded);
    return cudaSuccess;
}
