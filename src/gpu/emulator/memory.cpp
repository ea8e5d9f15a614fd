// Device memory in host memory under each device's capacity, pinned host memory, copies, streams
// and events.
#include <cstdlib>
#include <cstring>

#include "gpu/emulator/state.h"

using emu::Op;
using emu::state;

namespace {

bool in_device_memory(const emu::State& s, const void* p)
{
    auto it = s.allocations.upper_bound(const_cast<void*>(p));
    if (it == s.allocations.begin()) return false;
    --it;
    return static_cast<const char*>(p) < static_cast<const char*>(it->first) + it->second.size;
}

bool to_host(const emu::State& s, const void* dst, const void* src, cudaMemcpyKind kind)
{
    return kind == cudaMemcpyDeviceToHost ||
           (kind == cudaMemcpyDefault && in_device_memory(s, src) && !in_device_memory(s, dst));
}

cudaError_t memory_op(Op op, void* dst, const void* src, int value, size_t count, cudaStream_t stream,
                      cudaMemcpyKind kind = cudaMemcpyHostToHost)
{
    emu::State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && !emu::valid_stream(s, stream)) status = cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess) status = emu::take_fault(s, op);
    if (status == cudaSuccess && count != 0 && (dst == nullptr || (op == Op::Memcpy && src == nullptr)))
        status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    if (op == Op::Memcpy) {
        std::memmove(dst, src, count);
        if (s.corrupt_copies_from != 0 && count >= s.corrupt_copies_from && to_host(s, dst, src, kind))
            static_cast<unsigned char*>(dst)[count - 1] ^= 1;
    } else
        std::memset(dst, value, count);
    return cudaSuccess;
}

}  // namespace

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const cudaError_t status = emu::check_device(s);
    if (status != cudaSuccess) return emu::fail(status);
    const size_t total = emu::device_of(s, emu::current_device).total_memory;
    *total_bytes = total;
    *free_bytes = total - s.in_use[emu::current_device];
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && ptr == nullptr) status = cudaErrorInvalidValue;
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Malloc);
    const int device = emu::current_device;
    if (status == cudaSuccess && size > emu::device_of(s, device).total_memory - s.in_use[device])
        status = cudaErrorMemoryAllocation;
    if (status != cudaSuccess) return emu::fail(status);
    if (size == 0) {
        *ptr = nullptr;
        return cudaSuccess;
    }
    void* block = std::malloc(size);
    if (block == nullptr) return emu::fail(cudaErrorMemoryAllocation);
    s.allocations[block] = emu::Allocation{size, device};
    s.in_use[device] += size;
    *ptr = block;
    return cudaSuccess;
}

// As on the real runtime, freeing device memory waits for the device first.
cudaError_t cudaFree(void* ptr)
{
    auto& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (ptr == nullptr) return cudaSuccess;
    auto it = s.allocations.find(ptr);
    if (it == s.allocations.end()) return emu::fail(cudaErrorInvalidValue);
    emu::wait_if_hung(lock, it->second.device);
    s.in_use[it->second.device] -= it->second.size;  // the device it was taken from, whichever is current
    std::free(it->first);
    s.allocations.erase(it);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t count)
{
    return memory_op(Op::Memset, ptr, nullptr, value, count, nullptr);
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream)
{
    return memory_op(Op::Memset, ptr, nullptr, value, count, stream);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind)
{
    {
        // A synchronous copy waits for earlier work and so reports a kernel fault.
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        cudaError_t earlier = emu::take_async_error(s, emu::current_device);
        if (earlier != cudaSuccess) return emu::fail(earlier);
    }
    return memory_op(Op::Memcpy, dst, src, 0, count, nullptr, kind);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream)
{
    return memory_op(Op::Memcpy, dst, src, 0, count, stream, kind);
}

cudaError_t cudaStreamCreate(cudaStream_t* stream)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::StreamCreate);
    if (status != cudaSuccess) return emu::fail(status);
    *stream = new CUstream_st{emu::current_device};
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
    std::unique_lock<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && !emu::valid_stream(s, stream)) status = cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess) emu::wait_if_hung(lock, emu::device_of(stream));
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s, emu::device_of(stream));
    return emu::fail(status);
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = emu::check_device(s);
    if (status == cudaSuccess && event == nullptr) status = cudaErrorInvalidValue;
    if (status != cudaSuccess) return emu::fail(status);
    *event = new CUevent_st{emu::current_device};
    s.events.insert(*event);
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.events.erase(event) == 0) return emu::fail(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // The event and the stream must belong to the same device.
    if (s.events.count(event) == 0 || !emu::valid_stream(s, stream) || event->device != emu::device_of(stream))
        return emu::fail(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event)
{
    auto& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    cudaError_t status = s.events.count(event) != 0 ? cudaSuccess : cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess) emu::wait_if_hung(lock, event->device);
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s, event->device);
    return emu::fail(status);
}

// Kernels run when launched, so an event is complete unless its device hangs; a query is a
// synchronisation that does not wait, with its faults. Not ready is no error.
cudaError_t cudaEventQuery(cudaEvent_t event)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status = s.events.count(event) != 0 ? cudaSuccess : cudaErrorInvalidResourceHandle;
    if (status == cudaSuccess && s.hung.count(event->device) != 0) return cudaErrorNotReady;
    if (status == cudaSuccess) status = emu::take_fault(s, Op::Synchronize);
    if (status == cudaSuccess) status = emu::take_async_error(s, event->device);
    return emu::fail(status);
}

cudaError_t cudaMallocHost(void** ptr, size_t size)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ptr == nullptr) return emu::fail(cudaErrorInvalidValue);
    *ptr = std::malloc(size == 0 ? 1 : size);
    if (*ptr == nullptr) return emu::fail(cudaErrorMemoryAllocation);
    s.host_allocations.emplace(*ptr, emu::current_device);
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr)
{
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ptr == nullptr) return cudaSuccess;
    if (s.host_allocations.erase(ptr) == 0) return emu::fail(cudaErrorInvalidValue);
    std::free(ptr);
    return cudaSuccess;
}
