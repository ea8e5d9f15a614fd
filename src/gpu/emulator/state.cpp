// The emulator's state, its controls, and the calls about errors and the device as a whole.
#include <cstdlib>

#include "gpu/emulator/state.h"

namespace emu {
namespace {

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

}  // namespace

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
    for (cudaEvent_t event : s.events) delete event;
    s.events.clear();
    for (void* ptr : s.host_allocations) std::free(ptr);
    s.host_allocations.clear();
    s.async_error = cudaSuccess;
}

bool valid_stream(const State& s, cudaStream_t stream)
{
    return stream == nullptr || s.streams.count(stream) != 0;
}

void configure(const Config& config)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    release_all(s);
    s.config = config;
    s.faults.clear();
    s.corrupt_copies_from = 0;
    s.launches = 0;
    pending_error = cudaSuccess;
    current_device = 0;
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
    s.corrupt_copies_from = 0;
}

void corrupt_copies_back(size_t min_bytes)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.corrupt_copies_from = min_bytes;
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
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.config.device.kernel_max_threads_per_block;
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
    case cudaErrorECCUncorrectable: return "uncorrectable ECC error encountered";
    case cudaErrorNvlinkUncorrectable: return "uncorrectable NVLink error detected during the execution";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorLaunchTimeout: return "the launch timed out and was terminated";
    case cudaErrorContextIsDestroyed: return "context is destroyed";
    case cudaErrorAssert: return "device-side assert triggered";
    case cudaErrorHardwareStackError: return "hardware stack error";
    case cudaErrorIllegalInstruction: return "an illegal instruction was encountered";
    case cudaErrorMisalignedAddress: return "misaligned address";
    case cudaErrorInvalidAddressSpace: return "operation not supported on global/shared address space";
    case cudaErrorInvalidPc: return "invalid program counter";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorExternalDevice: return "an async error has occured in external entity outside of CUDA";
    case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

cudaError_t cudaGetLastError()
{
    cudaError_t error = emu::pending_error;
    emu::pending_error = cudaSuccess;
    return error;
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
