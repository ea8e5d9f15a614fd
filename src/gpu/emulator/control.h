// Controls of the host emulator (test equipment): the virtual devices, the fault hook and the
// counters tests read. Each device's memory lives in host memory under that device's capacity;
// kernels run on the CPU with per-thread blockIdx / threadIdx, their blocks spread over a small
// pool of host threads. Kernels may not use barriers or shared memory: each emulated thread runs to
// completion. As on the real runtime, the current device belongs to the host thread, and memory,
// streams, events, kernel faults and cudaDeviceReset belong to the device current when they were
// made. The binary it stands for has kernel code for compute capability 8.0 and later: on an older
// device kernels neither launch nor answer cudaFuncGetAttributes or the occupancy query
// (cudaErrorNoKernelImageForDevice). Included by cuda_runtime.h, whose types it uses.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace emu {

struct VirtualDevice {
    std::string name = "Corvane Emulated GPU";
    int major = 8;  // compute capability
    int minor = 9;
    int multiprocessor_count = 4;
    int max_threads_per_block = 1024;
    int max_threads_per_multiprocessor = 1536;
    int max_blocks_per_multiprocessor = 24;
    int warp_size = 32;
    size_t total_memory = size_t(1) << 30;  // also the allocation capacity
    int kernel_max_threads_per_block = 1024;  // what cudaFuncGetAttributes reports for any kernel
};

struct Config {
    int device_count = 1;
    VirtualDevice device;  // every device not given in `devices`
    int worker_threads = 2;
    std::vector<VirtualDevice> devices;  // devices 0, 1, ... where they differ from `device`
    int driver_version = 13000;  // what cudaDriverGetVersion answers; 0: no driver
};

// Replaces the configuration and resets all state (memory, streams, flags, errors, faults). Until
// the first call the emulator runs Config{} with these from the environment (how process-level
// tests set up the emulated executable): the device count from CRV_EMU_DEVICE_COUNT when that
// holds a number from 0 to 64; device d's capacity from the d-th comma-separated number of
// CRV_EMU_DEVICE_MEMORY_MB, in MiB, and its compute capability from the d-th "major.minor" of
// CRV_EMU_DEVICE_CC ("8.9,7.5"); the driver version from CRV_EMU_DRIVER_VERSION (12040: CUDA 12.4).
void configure(const Config& config);

enum class Op { Malloc, Memset, Memcpy, StreamCreate, Launch, Kernel, Synchronize, Occupancy, DeviceCount, SetDevice, Hang };

// The nth call of `op` from now on (1 = the next) fails with `error`, and with `repeat` every later
// one too (a card that is gone stays gone); with `device` >= 0 only calls made while that device is
// current count, for SetDevice the calls selecting that device. A Launch fault is a launch error
// visible at once; a Kernel fault lets the launch succeed and the kernel not run, its error
// surfacing at the next synchronisation with that device. Synchronize covers stream, event and
// device synchronisation. A failed SetDevice leaves the thread's device as it was.
void fail_nth(Op op, int nth, cudaError_t error, int device = -1, bool repeat = false);
// The nth kernel launched from now on (on `device` only, when >= 0) never finishes, as on a card that
// hangs: neither it nor any later work of its device runs, event queries on that device answer
// cudaErrorNotReady and every synchronisation with it (cudaFree of its memory too) blocks until the
// process exits.
void hang_nth(int nth, int device = -1);
void clear_faults();
// From now on every device-to-host copy of at least `min_bytes` bytes succeeds with the lowest bit
// of its last byte flipped, as a failing card's would; 0 ends it. Reset with the faults.
void corrupt_copies_back(size_t min_bytes);

// Process-wide totals over all devices.
size_t live_allocations();
size_t live_streams();
unsigned long long launches();

// Runs body once per emulated thread of the grid, with blockIdx/threadIdx set (gpu::launch).
void run_grid(dim3 grid, dim3 block, cudaStream_t stream, const std::function<void()>& body);

template <typename Body>
void launch(dim3 grid, dim3 block, cudaStream_t stream, Body&& body)
{
    run_grid(grid, block, stream, std::function<void()>(std::forward<Body>(body)));
}

// What the current device answers to cudaFuncGetAttributes and to the occupancy query.
cudaError_t kernel_attributes(cudaFuncAttributes* attributes);
cudaError_t occupancy(int* blocks, int block_size);

}  // namespace emu
