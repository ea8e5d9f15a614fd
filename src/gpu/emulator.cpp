#include "gpu/emulator.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

__thread uint3 blockIdx{0, 0, 0};
__thread uint3 threadIdx{0, 0, 0};
__thread uint3 blockDim{1, 1, 1};
__thread uint3 gridDim{1, 1, 1};

struct CUstream_st {
    int unused;
};

namespace emu {
namespace {

struct Fault {
    Op op;
    int remaining;  // calls of op still to pass before this one fails
    cudaError_t error;
};

struct State {
    std::mutex mutex;
    Config config;
    std::map<void*, size_t> allocations;
    size_t in_use = 0;
    std::set<cudaStream_t> streams;
    std::vector<Fault> faults;
    cudaError_t async_error = cudaSuccess;  // a kernel fault not yet reported by a synchronisation
    unsigned long long launches = 0;
};

// The emulated executable has no test to configure it, so its starting device count can come
// from the environment; configure() replaces it like everything else.
Config initial_config()
{
    Config config;
    const char* count = std::getenv("CRV_EMU_DEVICE_COUNT");
    if (count != nullptr && *count != '\0') {
        char* end = nullptr;
        const long value = std::strtol(count, &end, 10);
        if (*end == '\0' && value >= 0 && value <= 64) config.device_count = static_cast<int>(value);
    }
    return config;
}

// Never destroyed: owners of device memory held in other static objects (the installed guesser
// buffer, for one) free it during the process's exit, possibly after every other static is gone.
// What is still allocated then stays reachable from here and goes with the process.
State& state()
{
    static State* s = [] {
        State* created = new State;
        created->config = initial_config();
        return created;
    }();
    return *s;
}

thread_local cudaError_t pending_error = cudaSuccess;
thread_local int current_device = 0;

cudaError_t fail(cudaError_t error)
{
    if (error != cudaSuccess) pending_error = error;
    return error;
}

// Consumes one call of `op` against the fault plan; returns the injected error or success.
cudaError_t take_fault(State& s, Op op)
{
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
        if (it->op != op) continue;
        if (--it->remaining == 0) {
            cudaError_t error = it->error;
            s.faults.erase(it);
            return error;
        }
    }
    return cudaSuccess;
}

cudaError_t check_device(const State& s)
{
    return s.config.device_count > 0 ? cudaSuccess : cudaErrorNoDevice;
}

// Synchronous copies and synchronisations report a kernel fault left behind.
cudaError_t take_async_error(State& s)
{
    cudaError_t error = s.async_error;
    s.async_error = cudaSuccess;
    return error;
}

void release_all(State& s)
{
    for (auto& [ptr, size] : s.allocations) std::free(ptr);
    s.allocations.clear();
    s.in_use = 0;
    for (cudaStream_t stream : s.streams) delete stream;
    s.streams.clear();
    s.async_error = cudaSuccess;
}

bool valid_stream(const State& s, cudaStream_t stream)
{
    return stream == nullptr || s.streams.count(stream) != 0;
}

cudaError_t memory_op(Op op, void* dst, const void* src, int value, size_t count, cudaStream_t stream)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = check_device(s);
    if (status == cudaSuccess && !valid_stream(s, stream)) status = cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess) status = take_fault(s, op);
    if (status == cudaSuccess && count != 0 && (dst == nullptr || (op == Op::Memcpy && src == nullptr)))
        status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return fail(status);
    if (op == Op::Memcpy)
        std::memmove(dst, src, count);
    else
        std::memset(dst, value, count);
    return cudaSuccess;
}

}  // namespace

void configure(const Config& config)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    release_all(s);
    s.config = config;
    s.faults.clear();
    s.launches = 0;
    pending_error = cudaSuccess;
    current_device = 0;
}

const Config& config()
{
    return state().config;
}

void fail_nth(Op op, int nth, cudaError_t error)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.push_back(Fault{op, nth < 1 ? 1 : nth, error});
}

void clear_faults()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.clear();
}

size_t bytes_in_use()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.in_use;
}

size_t live_allocations()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.allocations.size();
}

size_t live_streams()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.streams.size();
}

unsigned long long launches()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.launches;
}

int kernel_max_threads_per_block()
{
    return config().device.kernel_max_threads_per_block;
}

void run_grid(dim3 grid, dim3 block, cudaStream_t stream, const std::function<void()>& body)
{
    State& s = state();
    int workers = 1;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const VirtualDevice& dev = s.config.device;
        unsigned long long threads_per_block = 1ull * block.x * block.y * block.z;
        cudaError_t status = check_device(s);
        if (status == cudaSuccess && !valid_stream(s, stream)) status = cudaErrorInvalidResourceHandle;
        if (status == cudaSuccess &&
            (threads_per_block == 0 || grid.x == 0 || grid.y == 0 || grid.z == 0 ||
             threads_per_block > static_cast<unsigned long long>(dev.max_threads_per_block) ||
             grid.x > 0x7fffffffu || grid.y > 65535u || grid.z > 65535u))
            status = cudaErrorInvalidConfiguration;
        if (status == cudaSuccess) status = take_fault(s, Op::Launch);
        if (status != cudaSuccess) {
            fail(status);
            return;
        }
        ++s.launches;
        cudaError_t kernel_fault = take_fault(s, Op::Kernel);
        if (kernel_fault != cudaSuccess) {
            if (s.async_error == cudaSuccess) s.async_error = kernel_fault;
            return;
        }
        workers = std::max(1, s.config.worker_threads);
    }

    const unsigned long long blocks = 1ull * grid.x * grid.y * grid.z;
    std::atomic<unsigned long long> next{0};
    auto worker = [&] {
        gridDim = uint3{grid.x, grid.y, grid.z};
        blockDim = uint3{block.x, block.y, block.z};
        for (unsigned long long b = next++; b < blocks; b = next++) {
            blockIdx = uint3{static_cast<unsigned>(b % grid.x), static_cast<unsigned>((b / grid.x) % grid.y),
                             static_cast<unsigned>(b / (1ull * grid.x * grid.y))};
            for (unsigned z = 0; z < block.z; ++z)
                for (unsigned y = 0; y < block.y; ++y)
                    for (unsigned x = 0; x < block.x; ++x) {
                        threadIdx = uint3{x, y, z};
                        body();
                    }
        }
    };
    const unsigned long long pool = std::min<unsigned long long>(static_cast<unsigned long long>(workers), blocks);
    std::vector<std::thread> threads;
    for (unsigned long long i = 1; i < pool; ++i) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
}

}  // namespace emu

using emu::Op;
using emu::state;

const char* cudaGetErrorString(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorNoKernelImageForDevice: return "no kernel image is available for execution on the device";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorLaunchTimeout: return "the launch timed out and was terminated";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorInvalidDeviceFunction: return "cudaErrorInvalidDeviceFunction";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorNoKernelImageForDevice: return "cudaErrorNoKernelImageForDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorNotReady: return "cudaErrorNotReady";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorLaunchOutOfResources: return "cudaErrorLaunchOutOfResources";
    case cudaErrorLaunchTimeout: return "cudaErrorLaunchTimeout";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorUnknown: return "cudaErrorUnknown";
    }
    return "cudaErrorUnknown";
}

cudaError_t cudaGetLastError()
{
    cudaError_t error = emu::pending_error;
    emu::pending_error = cudaSuccess;
    return error;
}

cudaError_t cudaPeekAtLastError()
{
    return emu::pending_error;
}

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
    const emu::VirtualDevice& dev = s.config.device;
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
    const emu::VirtualDevice& dev = s.config.device;
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = dev.max_threads_per_block; return cudaSuccess;
    case cudaDevAttrWarpSize: *value = dev.warp_size; return cudaSuccess;
    case cudaDevAttrMultiProcessorCount: *value = dev.multiprocessor_count; return cudaSuccess;
    case cudaDevAttrMaxThreadsPerMultiProcessor: *value = dev.max_threads_per_multiprocessor; return cudaSuccess;
    case cudaDevAttrMaxBlocksPerMultiprocessor: *value = dev.max_blocks_per_multiprocessor; return cudaSuccess;
    }
    return emu::fail(cudaErrorInvalidValue);
}

cudaError_t emu_occupancy(int* blocks, int block_size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Occupancy);
    if (status == cudaSuccess && block_size <= 0) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    const emu::VirtualDevice& dev = s.config.device;
    if (block_size > dev.max_threads_per_block || block_size > dev.kernel_max_threads_per_block) {
        *blocks = 0;
        return cudaSuccess;
    }
    int rounded = (block_size + dev.warp_size - 1) / dev.warp_size * dev.warp_size;
    *blocks = std::min(dev.max_blocks_per_multiprocessor, dev.max_threads_per_multiprocessor / rounded);
    return cudaSuccess;
}

cudaError_t cudaDeviceReset()
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    emu::release_all(s);
    emu::pending_error = cudaSuccess;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize()
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s);
    return emu::fail(status);
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.config.device_count == 0) return emu::fail(cudaErrorNoDevice);
    *total_bytes = s.config.device.total_memory;
    *free_bytes = s.config.device.total_memory - s.in_use;
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && ptr == nullptr) status = cudaErrorInvalidValue;
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Malloc);
    if (status == cudaSuccess && size > s.config.device.total_memory - s.in_use) status = cudaErrorMemoryAllocation;
    if (status != cudaSuccess) return emu::fail(status);
    if (size == 0) {
        *ptr = nullptr;
        return cudaSuccess;
    }
    void* block = std::malloc(size);
    if (block == nullptr) return emu::fail(cudaErrorMemoryAllocation);
    s.allocations[block] = size;
    s.in_use += size;
    *ptr = block;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ptr == nullptr) return cudaSuccess;
    auto it = s.allocations.find(ptr);
    if (it == s.allocations.end()) return emu::fail(cudaErrorInvalidValue);
    s.in_use -= it->second;
    std::free(it->first);
    s.allocations.erase(it);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t count)
{
    return emu::memory_op(Op::Memset, ptr, nullptr, value, count, nullptr);
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream)
{
    return emu::memory_op(Op::Memset, ptr, nullptr, value, count, stream);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind)
{
    {
        // A synchronous copy waits for earlier work and so reports a kernel fault.
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        cudaError_t earlier = emu::take_async_error(s);
        if (earlier != cudaSuccess) return emu::fail(earlier);
    }
    return emu::memory_op(Op::Memcpy, dst, src, 0, count, nullptr);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind, cudaStream_t stream)
{
    return emu::memory_op(Op::Memcpy, dst, src, 0, count, stream);
}

cudaError_t cudaStreamCreate(cudaStream_t* stream)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::StreamCreate);
    if (status != cudaSuccess) return emu::fail(status);
    *stream = new CUstream_st{0};
    s.streams.insert(*stream);
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.streams.find(stream);
    if (it == s.streams.end()) return emu::fail(cudaErrorInvalidResourceHandle);
    delete stream;
    s.streams.erase(it);
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && !emu::valid_stream(s, stream)) status = cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s);
    return emu::fail(status);
}
