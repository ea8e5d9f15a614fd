// The virtual devices: count, selection, properties, attributes and the occupancy answer.
#include <algorithm>
#include <cstring>

#include "gpu/emulator/state.h"

using emu::state;

cudaError_t cudaGetDeviceCount(int* count)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    *count = s.config.device_count;
    return emu::fail(emu::check_device(s));
}

cudaError_t cudaSetDevice(int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.config.device_count == 0) return emu::fail(cudaErrorNoDevice);
    if (device < 0 || device >= s.config.device_count) return emu::fail(cudaErrorInvalidDevice);
    emu::current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.config.device_count == 0) return emu::fail(cudaErrorNoDevice);
    *device = emu::current_device;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.config.device_count == 0) return emu::fail(cudaErrorNoDevice);
    if (device < 0 || device >= s.config.device_count) return emu::fail(cudaErrorInvalidDevice);
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
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.config.device_count == 0) return emu::fail(cudaErrorNoDevice);
    if (device < 0 || device >= s.config.device_count) return emu::fail(cudaErrorInvalidDevice);
    const emu::VirtualDevice& dev = emu::device_of(s, device);
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = dev.max_threads_per_block; return cudaSuccess;
    case cudaDevAttrWarpSize: *value = dev.warp_size; return cudaSuccess;
    case cudaDevAttrMultiProcessorCount: *value = dev.multiprocessor_count; return cudaSuccess;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = dev.max_threads_per_multiprocessor; return cudaSuccess;
    case cudaDevAttrMaxBlocksPerMultiprocessor: *value = dev.max_blocks_per_multiprocessor; return cudaSuccess;
    }
    return emu::fail(cudaErrorInvalidValue);
}

cudaError_t emu::occupancy(int* blocks, int block_size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Occupancy);
    if (status == cudaSuccess && block_size <= 0) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    const emu::VirtualDevice& dev = emu::device_of(s, emu::current_device);
    if (block_size > dev.max_threads_per_block || block_size > dev.kernel_max_threads_per_block) {
        *blocks = 0;
        return cudaSuccess;
    }
    int rounded = (block_size + dev.warp_size - 1) / dev.warp_size * dev.warp_size;
    *blocks = std::min(dev.max_blocks_per_multiprocessor, dev.max_threads_per_multiprocessor / rounded);
    return cudaSuccess;
}
