// The CUDA runtime as the host emulator provides it: the types, error codes and calls this system
// uses, with the real runtime's names and meaning. Errors follow the real runtime: every failing
// call leaves its code pending for the calling host thread until cudaGetLastError reads it; a
// kernel fault surfaces at the next synchronisation. The emulator's own controls are in control.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Execution-space keywords mean nothing on the host.
#define __host__
#define __device__
#define __global__
#define __constant__
#define __forceinline__ inline
#define __launch_bounds__(...)

// The toolkit the emulator stands for: 1000 * major + 10 * minor.
#define CUDART_VERSION 13000

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorDevicesUnavailable = 46,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorNoKernelImageForDevice = 209,
    cudaErrorECCUncorrectable = 214,
    cudaErrorNvlinkUncorrectable = 220,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchTimeout = 702,
    cudaErrorContextIsDestroyed = 709,
    cudaErrorAssert = 710,
    cudaErrorHardwareStackError = 714,
    cudaErrorIllegalInstruction = 715,
    cudaErrorMisalignedAddress = 716,
    cudaErrorInvalidAddressSpace = 717,
    cudaErrorInvalidPc = 718,
    cudaErrorLaunchFailure = 719,
    cudaErrorExternalDevice = 911,
    cudaErrorUnknown = 999,
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

enum cudaDeviceAttr {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrWarpSize = 10,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrMaxThreadsPerMultiProcessor = 39,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
    cudaDevAttrMaxBlocksPerMultiprocessor = 106,
};

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

struct CUstream_st;
using cudaStream_t = CUstream_st*;
struct CUevent_st;
using cudaEvent_t = CUevent_st*;
constexpr unsigned int cudaEventDisableTiming = 0x02;

// Device flags: one scheduling policy at most, and options.
constexpr unsigned int cudaDeviceScheduleAuto = 0x00;
constexpr unsigned int cudaDeviceScheduleSpin = 0x01;
constexpr unsigned int cudaDeviceScheduleYield = 0x02;
constexpr unsigned int cudaDeviceScheduleBlockingSync = 0x04;
constexpr unsigned int cudaDeviceScheduleMask = 0x07;
constexpr unsigned int cudaDeviceMapHost = 0x08;
constexpr unsigned int cudaDeviceLmemResizeToMax = 0x10;
constexpr unsigned int cudaDeviceSyncMemops = 0x80;

struct cudaDeviceProp {
    char name[256];
    size_t totalGlobalMem;
    int warpSize;
    int maxThreadsPerBlock;
    int major;
    int minor;
    int multiProcessorCount;
    int maxThreadsPerMultiProcessor;
    int maxBlocksPerMultiProcessor;
    int pciBusID;
    int pciDeviceID;
    int pciDomainID;
};

struct cudaFuncAttributes {
    int maxThreadsPerBlock;
    int numRegs;
    size_t sharedSizeBytes;
    size_t localSizeBytes;
};

// Plain C thread-locals (no C++ TLS wrappers): every translation unit reads them directly.
extern __thread uint3 blockIdx;
extern __thread uint3 threadIdx;
extern __thread uint3 blockDim;
extern __thread uint3 gridDim;

const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaGetLastError();

// The driver's version reads even where the runtime cannot start (0: no driver at all); the
// runtime's is CUDART_VERSION. Under a driver older than the runtime's major version the calls on
// devices fail with cudaErrorInsufficientDriver.
cudaError_t cudaDriverGetVersion(int* version);
cudaError_t cudaRuntimeGetVersion(int* version);

// A runtime that cannot start (an injected fault, an old driver) leaves *count as it was, as the
// real one does; a machine without devices reads 0.
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
// "0000:0D:00.0": domain, bus, device and function in upper-case hex.
cudaError_t cudaDeviceGetPCIBusId(char* id, int length, int device);
// The current device's flags, kept until its cudaDeviceReset; the runtime's implied
// cudaDeviceMapHost is always reported.
cudaError_t cudaSetDeviceFlags(unsigned int flags);
cudaError_t cudaGetDeviceFlags(unsigned int* flags);
cudaError_t cudaDeviceReset();
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes);

cudaError_t cudaMalloc(void** ptr, size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemset(void* ptr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);

cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

// Work runs when it is issued, so an event is complete once recorded; waiting for it reports a
// kernel fault left behind, as any synchronisation does.
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventQuery(cudaEvent_t event);

// Page-locked host memory: host memory the emulator tracks so that a wrong free is reported.
cudaError_t cudaMallocHost(void** ptr, size_t size);
cudaError_t cudaFreeHost(void* ptr);

template <typename T>
cudaError_t cudaMalloc(T** ptr, size_t size)
{
    return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}

// Device atomics, done atomically across the emulator's worker threads.
inline unsigned int atomicCAS(unsigned int* address, unsigned int compare, unsigned int value)
{
    __atomic_compare_exchange_n(address, &compare, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return compare;
}
inline int atomicCAS(int* address, int compare, int value)
{
    __atomic_compare_exchange_n(address, &compare, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return compare;
}
inline unsigned long long atomicExch(unsigned long long* address, unsigned long long value)
{
    return __atomic_exchange_n(address, value, __ATOMIC_SEQ_CST);
}
template <typename T>
inline T __ldg(const T* address)
{
    return *address;
}

#include "gpu/emulator/control.h"

template <typename Kernel>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, Kernel*)
{
    return emu::kernel_attributes(attributes);
}

template <typename Kernel>
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, Kernel*, int block_size,
                                                          size_t dynamic_shared_bytes)
{
    (void)dynamic_shared_bytes;
    return emu::occupancy(blocks, block_size);
}

// The runtime's own search: the block size (a multiple of the warp size, stepping down from the
// largest allowed) that keeps the most threads resident per multiprocessor.
template <typename Kernel>
cudaError_t cudaOccupancyMaxPotentialBlockSize(int* min_grid_size, int* block_size, Kernel* kernel,
                                               size_t dynamic_shared_bytes = 0, int block_size_limit = 0)
{
    cudaFuncAttributes attributes{};
    cudaError_t status = cudaFuncGetAttributes(&attributes, kernel);
    int device = 0, warp = 0, device_max = 0, sm_count = 0, sm_threads = 0;
    if (status == cudaSuccess) status = cudaGetDevice(&device);
    if (status == cudaSuccess) status = cudaDeviceGetAttribute(&warp, cudaDevAttrWarpSize, device);
    if (status == cudaSuccess) status = cudaDeviceGetAttribute(&device_max, cudaDevAttrMaxThreadsPerBlock, device);
    if (status == cudaSuccess) status = cudaDeviceGetAttribute(&sm_count, cudaDevAttrMultiProcessorCount, device);
    if (status == cudaSuccess)
        status = cudaDeviceGetAttribute(&sm_threads, cudaDevAttrMaxThreadsPerMultiProcessor, device);
    if (status != cudaSuccess) return status;

    int limit = device_max < attributes.maxThreadsPerBlock ? device_max : attributes.maxThreadsPerBlock;
    if (block_size_limit > 0 && block_size_limit < limit) limit = block_size_limit;
    int best_size = 0, best_blocks = 0, best_threads = 0;
    for (int size = (limit / warp) * warp; size > 0; size -= warp) {
        int blocks = 0;
        status = cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, kernel, size, dynamic_shared_bytes);
        if (status != cudaSuccess) return status;
        if (blocks * size > best_threads) {
            best_threads = blocks * size;
            best_size = size;
            best_blocks = blocks;
        }
        if (best_threads == sm_threads) break;
    }
    *block_size = best_size;
    *min_grid_size = best_blocks * sm_count;
    return cudaSuccess;
}
