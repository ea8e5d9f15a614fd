// The emulator's shared state and the helpers every emulated call uses. Internal to the emulator.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "gpu/emulator/cuda_runtime.h"

// Streams and events belong to the device current when they were created.
struct CUstream_st {
    int device;
};
struct CUevent_st {
    int device;
};

namespace emu {

struct Fault {
    Op op;
    int remaining;  // calls of op still to pass before this one fails
    cudaError_t error;
    int device;  // only calls on this device count; -1: any device
    bool repeat;  // stays after failing a call, so every later call fails too
};

struct Allocation {
    size_t size;
    int device;
};

struct State {
    std::mutex mutex;
    Config config;
    std::map<void*, Allocation> allocations;
    std::map<int, size_t> in_use;  // allocated bytes of each device
    std::set<cudaStream_t> streams;
    std::set<cudaEvent_t> events;
    std::map<void*, int> host_allocations;  // pinned host memory, with the device it was taken on
    std::vector<Fault> faults;
    size_t corrupt_copies_from = 0;  // device-to-host copies of at least this many bytes arrive corrupted; 0: none
    std::map<int, cudaError_t> async_error;  // each device's kernel fault not yet reported by a synchronisation
    std::set<int> hung;  // devices whose work never finishes (hang_nth)
    std::map<int, unsigned int> flags;  // each device's cudaSetDeviceFlags, until its reset
    unsigned long long launches = 0;
};

State& state();

extern thread_local cudaError_t pending_error;
extern thread_local int current_device;

// The properties of device `device`.
const VirtualDevice& device_of(const State& s, int device);
// Leaves a failure pending for the calling thread and returns it.
cudaError_t fail(cudaError_t error);
// Consumes one call of `op` on `device` (the current one unless given) against the fault plan;
// returns the injected error or success.
cudaError_t take_fault(State& s, Op op);
cudaError_t take_fault(State& s, Op op, int device);
// Whether the runtime can start (a recent enough driver) and has a device.
cudaError_t check_device(const State& s);
// Whether the binary has kernel code the device can run.
bool has_kernel_image(const VirtualDevice& device);
bool valid_stream(const State& s, cudaStream_t stream);
// The device a stream's work runs on: its own, or the current one for the default stream.
int device_of(cudaStream_t stream);
// Synchronisations and synchronous copies report a kernel fault the device left behind.
cudaError_t take_async_error(State& s, int device);
// Blocks for good, the lock released, when `device` hangs: a synchronisation with a hung card.
void wait_if_hung(std::unique_lock<std::mutex>& lock, int device);
// Frees what belongs to `device`, or everything with -1.
void release(State& s, int device);

}  // namespace emu
