// The emulator's state, its controls, and the calls about errors and the device as a whole.
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "gpu/emulator/state.h"

namespace emu {
namespace {

// Applies `set` to device d's entry with the d-th comma-separated field of the environment
// variable `name`; a field `set` rejects keeps that device's default.
template <typename Set>
void per_device(Config& config, const char* name, Set set)
{
    const char* text = std::getenv(name);
    std::istringstream fields(text != nullptr ? text : "");
    size_t d = 0;
    for (std::string field; std::getline(fields, field, ','); ++d) {
        if (config.devices.size() <= d) config.devices.push_back(config.device);
        VirtualDevice parsed = config.devices[d];
        if (set(field, parsed)) config.devices[d] = parsed;
    }
}

// The leading decimal number of `text`, up to `*end`; false without one or above `max`.
bool number(const char* text, char** end, unsigned long long max, unsigned long long* value)
{
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    *value = std::strtoull(text, end, 10);
    return *value <= max;
}

// The emulated executable has no test to configure it, so its starting devices and driver can
// come from the environment; configure() replaces them like everything else.
Config initial_config()
{
    Config config;
    char* end = nullptr;
    unsigned long long value = 0;
    const char* count = std::getenv("CRV_EMU_DEVICE_COUNT");
    if (count != nullptr && number(count, &end, 64, &value) && *end == '\0')
        config.device_count = static_cast<int>(value);
    const char* driver = std::getenv("CRV_EMU_DRIVER_VERSION");
    if (driver != nullptr && number(driver, &end, 1000000, &value) && *end == '\0')
        config.driver_version = static_cast<int>(value);
    // "1024,8,1024": MiB of devices 0, 1, 2.
    per_device(config, "CRV_EMU_DEVICE_MEMORY_MB", [](const std::string& field, VirtualDevice& device) {
        char* end = nullptr;
        unsigned long long mib = 0;
        if (!number(field.c_str(), &end, SIZE_MAX >> 20, &mib) || *end != '\0') return false;
        device.total_memory = static_cast<size_t>(mib) << 20;
        return true;
    });
    // "8.9,7.5": compute capabilities of devices 0 and 1.
    per_device(config, "CRV_EMU_DEVICE_CC", [](const std::string& field, VirtualDevice& device) {
        char* end = nullptr;
        unsigned long long major = 0, minor = 0;
        if (!number(field.c_str(), &end, 99, &major) || *end != '.' || !number(end + 1, &end, 9, &minor) ||
            *end != '\0')
            return false;
        device.major = static_cast<int>(major);
        device.minor = static_cast<int>(minor);
        return true;
    });
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

const VirtualDevice& device_of(const State& s, int device)
{
    const bool own = device >= 0 && static_cast<size_t>(device) < s.config.devices.size();
    return own ? s.config.devices[static_cast<size_t>(device)] : s.config.device;
}

int device_of(cudaStream_t stream)
{
    return stream != nullptr ? stream->device : current_device;
}

cudaError_t fail(cudaError_t error)
{
    if (error != cudaSuccess) pending_error = error;
    return error;
}

cudaError_t take_fault(State& s, Op op)
{
    return take_fault(s, op, current_device);
}

cudaError_t take_fault(State& s, Op op, int device)
{
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
        if (it->op != op || (it->device >= 0 && it->device != device)) continue;
        if (it->remaining > 1) {
            --it->remaining;
            continue;
        }
        const cudaError_t error = it->error;
        if (!it->repeat) s.faults.erase(it);
        return error;
    }
    return cudaSuccess;
}

cudaError_t check_device(const State& s)
{
    // Minor-version compatibility: any driver of the runtime's major version will do.
    if (s.config.driver_version / 1000 < CUDART_VERSION / 1000) return cudaErrorInsufficientDriver;
    return s.config.device_count > 0 ? cudaSuccess : cudaErrorNoDevice;
}

bool has_kernel_image(const VirtualDevice& device)
{
    return device.major >= 8;
}

cudaError_t take_async_error(State& s, int device)
{
    auto it = s.async_error.find(device);
    if (it == s.async_error.end()) return cudaSuccess;
    const cudaError_t error = it->second;
    s.async_error.erase(it);
    return error;
}

void wait_if_hung(std::unique_lock<std::mutex>& lock, int device)
{
    if (state().hung.count(device) == 0) return;
    lock.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void release(State& s, int device)
{
    // Erases the entries of `items` that belong to `device` once `free` has released them.
    const auto release_owned = [device](auto& items, auto owner, auto free) {
        for (auto it = items.begin(); it != items.end();) {
            if (device >= 0 && owner(*it) != device) {
                ++it;
                continue;
            }
            free(*it);
            it = items.erase(it);
        }
    };
    release_owned(s.allocations, [](const auto& a) { return a.second.device; }, [&s](const auto& a) {
        s.in_use[a.second.device] -= a.second.size;
        std::free(a.first);
    });
    release_owned(s.streams, [](cudaStream_t x) { return x->device; }, [](cudaStream_t x) { delete x; });
    release_owned(s.events, [](cudaEvent_t x) { return x->device; }, [](cudaEvent_t x) { delete x; });
    release_owned(s.host_allocations, [](const auto& a) { return a.second; }, [](const auto& a) { std::free(a.first); });
    if (device < 0) {
        s.async_error.clear();
        s.flags.clear();
    } else {
        s.async_error.erase(device);
        s.flags.erase(device);
    }
}

bool valid_stream(const State& s, cudaStream_t stream)
{
    return stream == nullptr || s.streams.count(stream) != 0;
}

void configure(const Config& config)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    release(s, -1);
    s.config = config;
    s.faults.clear();
    s.hung.clear();
    s.corrupt_copies_from = 0;
    s.launches = 0;
    pending_error = cudaSuccess;
    current_device = 0;
}

void fail_nth(Op op, int nth, cudaError_t error, int device, bool repeat)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.push_back(Fault{op, nth < 1 ? 1 : nth, error, device < 0 ? -1 : device, repeat});
}

void hang_nth(int nth, int device)
{
    fail_nth(Op::Hang, nth, cudaErrorLaunchTimeout, device);
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

cudaError_t kernel_attributes(cudaFuncAttributes* attributes)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = check_device(s);
    const VirtualDevice& device = device_of(s, current_device);
    if (status == cudaSuccess && !has_kernel_image(device)) status = cudaErrorNoKernelImageForDevice;
    if (status != cudaSuccess) return fail(status);
    *attributes = cudaFuncAttributes{device.kernel_max_threads_per_block, 64, 0, 0};
    return cudaSuccess;
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
    case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorDevicesUnavailable: return "CUDA-capable device(s) is/are busy or unavailable";
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

// Releases what belongs to the current device alone, as the real runtime does.
cudaError_t cudaDeviceReset()
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    emu::release(s, emu::current_device);
    emu::pending_error = cudaSuccess;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize()
{
    auto& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    emu::wait_if_hung(lock, emu::current_device);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s, emu::current_device);
    return emu::fail(status);
}
