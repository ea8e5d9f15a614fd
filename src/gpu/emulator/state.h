// The emulator's shared state and the helpers every emulated call uses. Internal to the emulator.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "gpu/emulator/cuda_runtime.h"

struct CUstream_st {
    int unused;
};
struct CUevent_st {
    int unused;
};

namespace emu {

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
    std::set<cudaEvent_t> events;
    std::set<void*> host_allocations;
    std::vector<Fault> faults;
    size_t corrupt_copies_from = 0;  // device-to-host copies of at least this many bytes arrive corrupted; 0: none
    cudaError_t async_error = cudaSuccess;  // a kernel fault not yet reported by a synchronisation
    unsigned long long launches = 0;
};

State& state();

extern thread_local cudaError_t pending_error;
extern thread_local int current_device;

// Leaves a failure pending for the calling thread and returns it.
cudaError_t fail(cudaError_t error);
// Consumes one call of `op` against the fault plan; returns the injected error or success.
cudaError_t take_fault(State& s, Op op);
cudaError_t check_device(const State& s);
bool valid_stream(const State& s, cudaStream_t stream);
// Synchronisations and synchronous copies report a kernel fault left behind.
cudaError_t take_async_error(State& s);
void release_all(State& s);

}  // namespace emu
