// The debug switch, the CUDA error lines, and the emulator's behaviours that the system relies on.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "gpu/launch.h"
#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/device_test.h"

namespace {

TEST(DebugSwitch, OnlyTheFirstCharacterCountsAndItIsReadOnce)
{
    for (const char* off : {static_cast<const char*>(nullptr), "", "0", "00", "0x"}) EXPECT_FALSE(crv_debug_value_enables(off));
    for (const char* on : {"1", "yes", "false", "off", " 0"}) EXPECT_TRUE(crv_debug_value_enables(on)) << on;
    setenv("CRV_DEBUG", "1", 1);
    const bool first = crv_debug_runtime_enabled();  // on, unless this process read the switch before
    setenv("CRV_DEBUG", first ? "0" : "1", 1);
    EXPECT_EQ(crv_debug_runtime_enabled(), first);  // later changes have no effect
    unsetenv("CRV_DEBUG");
    EXPECT_EQ(support::capture_output([] { crv_debug_line("preprocess: commitment computed"); }).out,
              first ? "[DBG] preprocess: commitment computed\n" : "");
}

// A failed call leaves its error pending for its own thread only, until it is read.
TEST(CudaErrorLines, ReportPendingErrorsOnceWithTheirLabel)
{
    emu::configure(emu::Config{});
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, size_t(64) << 30), cudaErrorMemoryAllocation);
    cudaError_t other_thread = cudaErrorUnknown;
    std::thread([&] { other_thread = cudaGetLastError(); }).join();
    EXPECT_EQ(other_thread, cudaSuccess);
    const support::CapturedOutput c = support::capture_output([] {
        crv_clear_cuda_errors("pre-mining stale error");
        crv_clear_cuda_errors("pre-mining stale error");  // the first call cleared it
        EXPECT_TRUE(crv_cuda_ok(cudaSuccess, "unused"));
        EXPECT_FALSE(crv_cuda_ok(cudaErrorLaunchFailure, "sync final ops"));
    });
    EXPECT_EQ(c.out + c.err, "[ERR][pre-mining stale error] out of memory\n[ERR][sync final ops] unspecified launch failure\n");
}

// Every thread tries to claim the flag (an int, as the mining kernel's); the one that does counts itself.
__global__ void claim_kernel(int* flag_and_claims)
{
    if (atomicCAS(flag_and_claims, 0, 1) != 0) return;
    for (int old = flag_and_claims[1]; atomicCAS(flag_and_claims + 1, old, old + 1) != old;) old = flag_and_claims[1];
}

void any_kernel() {}

TEST(Emulator, AtomicsLaunchChecksAndOccupancyAnswerLikeTheRuntime)
{
    emu::Config config;
    config.worker_threads = 4;  // 4 SMs of 1536 threads and 24 blocks, 1024 threads per block, warps of 32
    emu::configure(config);
    gpu::DeviceBuffer<int> flag_and_claims;
    ASSERT_EQ(flag_and_claims.allocate(2), cudaSuccess);
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(cudaMemset(flag_and_claims.get(), 0, 8), cudaSuccess);
        gpu::launch(claim_kernel, dim3(64), dim3(128), nullptr, flag_and_claims.get());
        ASSERT_EQ(support::finish_launch(), cudaSuccess);
        EXPECT_EQ(support::to_host(flag_and_claims.get(), 2)[1], 1);  // exactly one thread claimed the flag
    }
    gpu::launch(claim_kernel, dim3(1), dim3(2048), nullptr, flag_and_claims.get());  // above 1024 threads
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    int blocks = -1, min_grid = 0, block = 0;
    for (const auto& [block_size, expected] : {std::make_pair(100, 12), std::make_pair(33, 24), std::make_pair(2048, 0)}) {
        ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, any_kernel, block_size, 0), cudaSuccess);
        EXPECT_EQ(blocks, expected) << block_size;
    }
    ASSERT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, any_kernel, 0, 0), cudaSuccess);
    EXPECT_EQ(std::make_pair(block, min_grid), std::make_pair(768, 2 * 4));  // the largest size filling an SM
    emu::fail_nth(emu::Op::Occupancy, 1, cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, any_kernel, 256, 0), cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);
}

// The calls' results ORed together: 0 when all succeeded. A braced list makes them in order, as
// the operands of | are not.
int in_order(std::initializer_list<int> results)
{
    int any = 0;
    for (int r : results) any |= r;
    return any;
}

// Device 1 is small, devices 0 and 2 have the default 1 GiB: each answers for itself.
TEST(Emulator, EachDeviceHasItsOwnMemoryFaultsAndReset)
{
    emu::Config config;
    config.device_count = 3;
    config.devices.resize(2);
    config.devices[1].total_memory = size_t(1) << 20;
    emu::configure(config);
    const size_t GiB = size_t(1) << 30, MiB = size_t(1) << 20;
    const struct { int device; size_t bytes; cudaError_t result; size_t free_after; } steps[] = {
        {0, 64 * MiB, cudaSuccess, GiB - 64 * MiB},
        {1, 64 * MiB, cudaErrorMemoryAllocation, MiB},  // fits device 0, not device 1
        {1, MiB / 2, cudaSuccess, MiB / 2},
        {2, GiB, cudaSuccess, 0},  // device 0's use does not count here
    };
    std::vector<void*> taken;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.device);
        void* p = nullptr;
        size_t free_bytes = 0, total = 0;
        cudaDeviceProp prop{};
        ASSERT_EQ(in_order({cudaSetDevice(step.device), cudaGetDeviceProperties(&prop, step.device)}), 0);
        EXPECT_EQ(cudaMalloc(&p, step.bytes), step.result);
        EXPECT_EQ(std::string(cudaGetErrorString(cudaGetLastError())), step.result ? "out of memory" : "no error");
        if (p != nullptr) taken.push_back(p);
        ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total), cudaSuccess);
        EXPECT_EQ(std::make_pair(free_bytes, total), std::make_pair(step.free_after, size_t(prop.totalGlobalMem)));
    }
    size_t free0 = 0, total = 0;
    ASSERT_EQ(in_order({cudaSetDevice(1), cudaFree(taken[0]), cudaSetDevice(0), cudaMemGetInfo(&free0, &total)}), 0);
    EXPECT_EQ(free0, GiB);  // freed while device 1 was current, credited to device 0
    ASSERT_EQ(in_order({cudaSetDevice(1), cudaDeviceReset()}), 0);
    EXPECT_EQ(emu::live_allocations(), 1u);  // device 2's allocation outlives device 1's reset
    // A fault aimed at device 1 lets device 0's kernel run and surfaces on device 1 alone.
    gpu::DeviceBuffer<int> flags[2];
    emu::fail_nth(emu::Op::Kernel, 1, cudaErrorIllegalAddress, 1);
    for (int device : {0, 1}) {
        ASSERT_EQ(in_order({cudaSetDevice(device), flags[device].allocate(2), cudaMemset(flags[device].get(), 0, 8)}), 0);
        gpu::launch(claim_kernel, dim3(4), dim3(32), nullptr, flags[device].get());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    EXPECT_EQ(in_order({cudaSetDevice(0), cudaDeviceSynchronize()}), 0);
    EXPECT_EQ(support::to_host(flags[0].get(), 2)[1], 1);
    EXPECT_EQ(in_order({cudaSetDevice(1), cudaDeviceSynchronize(), cudaGetLastError()}), cudaErrorIllegalAddress);
    cudaStream_t stream = nullptr;
    ASSERT_EQ(in_order({cudaStreamCreate(&stream), cudaSetDevice(0)}), 0);
    gpu::launch(claim_kernel, dim3(1), dim3(1), stream, flags[0].get());  // a kernel goes to its device's streams only
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}

__global__ void add_kernel(int* values, int count, int step)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < count) values[i] += step;
}

// Three host threads, each on its own device, at once: every grid runs whole over its own buffer,
// and a reset of one device spares the others still at work.
TEST(Emulator, HostThreadsOnTheirOwnDevicesWorkAtOnce)
{
    emu::Config config;
    config.device_count = 3;
    config.worker_threads = 3;
    emu::configure(config);
    constexpr int COUNT = 1000, ROUNDS = 40;
    std::vector<std::vector<int>> results(3);
    std::vector<int> errors(3, -1);  // each thread's calls ORed together: 0 when all succeeded
    std::vector<std::thread> threads;
    for (int device = 0; device < 3; ++device)
        threads.emplace_back([&, device] {
            int* values = nullptr;
            int* host = nullptr;
            cudaStream_t stream = nullptr;
            cudaEvent_t done = nullptr;
            int e = in_order({cudaSetDevice(device), cudaMalloc(&values, COUNT * sizeof(int)),
                              cudaMallocHost(reinterpret_cast<void**>(&host), COUNT * sizeof(int)),
                              cudaStreamCreate(&stream), cudaEventCreateWithFlags(&done, cudaEventDisableTiming),
                              cudaMemsetAsync(values, 0, COUNT * sizeof(int), stream)});
            for (int round = 0; round < ROUNDS && e == cudaSuccess; ++round) {
                gpu::launch(add_kernel, dim3((COUNT + 63) / 64), dim3(64), stream, values, COUNT, device + 1);
                e = in_order({cudaGetLastError(), cudaEventRecord(done, stream), cudaEventSynchronize(done),
                              cudaMemcpyAsync(host, values, COUNT * sizeof(int), cudaMemcpyDeviceToHost, stream),
                              cudaStreamSynchronize(stream)});
            }
            if (e == cudaSuccess) results[device].assign(host, host + COUNT);
            errors[device] = e | cudaDeviceReset();
        });
    for (auto& t : threads) t.join();
    for (int device = 0; device < 3; ++device) {
        EXPECT_EQ(errors[device], 0) << device;
        EXPECT_EQ(results[device], std::vector<int>(COUNT, ROUNDS * (device + 1))) << device;
    }
    EXPECT_EQ(emu::launches(), 3u * ROUNDS);
    EXPECT_EQ(emu::live_allocations() + emu::live_streams(), 0u);
}

// A lost card stays lost: the repeating fault aimed at device 1 fails its second allocation and every
// later one, never device 0's. A failed count leaves the count alone, a failed selection the
// thread's device.
TEST(Emulator, RepeatingFaultsHitTheirDeviceAloneAndFailedSelectionsChangeNothing)
{
    emu::Config config;
    config.device_count = 2;
    emu::configure(config);
    emu::fail_nth(emu::Op::Malloc, 2, cudaErrorECCUncorrectable, 1, true);
    const struct { int device; cudaError_t result; } mallocs[] = {
        {1, cudaSuccess}, {0, cudaSuccess}, {1, cudaErrorECCUncorrectable}, {0, cudaSuccess},
        {1, cudaErrorECCUncorrectable}};
    for (size_t i = 0; i < std::size(mallocs); ++i) {
        void* p = nullptr;
        ASSERT_EQ(cudaSetDevice(mallocs[i].device), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&p, 64), mallocs[i].result) << i;
        EXPECT_EQ(cudaGetLastError(), mallocs[i].result) << i;
        EXPECT_EQ(cudaFree(p), cudaSuccess);
    }
    int count = -1, device = -1;
    emu::fail_nth(emu::Op::DeviceCount, 1, cudaErrorInsufficientDriver);
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInsufficientDriver);
    EXPECT_EQ(count, -1);
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);  // a one-off
    EXPECT_EQ(count, 2);
    emu::fail_nth(emu::Op::SetDevice, 1, cudaErrorDevicesUnavailable, 1, true);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);  // selecting device 0 never fails
        EXPECT_EQ(cudaSetDevice(1), cudaErrorDevicesUnavailable);
        ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
        EXPECT_EQ(device, 0);
    }
}

// Device 1 is a 7.5 card the binary has no code for: kernels neither launch nor answer queries
// there. Flags belong to a device and go with its reset alone; an old driver stops the runtime.
TEST(Emulator, OldCardsFlagsBusIdsAndDriverVersionsAnswerLikeTheRuntime)
{
    emu::Config config;
    config.device_count = 2;
    config.devices.resize(2);
    config.devices[1].major = 7;
    config.devices[1].minor = 5;
    emu::configure(config);
    const struct { int device; int capability; cudaError_t kernels; } cards[] = {
        {0, 89, cudaSuccess}, {1, 75, cudaErrorNoKernelImageForDevice}};
    char bus_ids[2][16] = {};
    for (const auto& card : cards) {
        SCOPED_TRACE(card.device);
        cudaDeviceProp prop{};
        cudaFuncAttributes attributes{};
        int blocks = 0;
        unsigned domain = 0, bus = 0, slot = 0;
        char* id = bus_ids[card.device];
        ASSERT_EQ(in_order({cudaSetDevice(card.device), cudaGetDeviceProperties(&prop, card.device),
                            cudaDeviceGetPCIBusId(id, sizeof(bus_ids[0]), card.device)}), 0);
        EXPECT_EQ(prop.major * 10 + prop.minor, card.capability);
        EXPECT_TRUE(std::strlen(id) == 12 && std::sscanf(id, "%4x:%2x:%2x.0", &domain, &bus, &slot) == 3) << id;
        EXPECT_EQ(std::vector<unsigned>({domain, bus, slot}),
                  std::vector<unsigned>({unsigned(prop.pciDomainID), unsigned(prop.pciBusID), unsigned(prop.pciDeviceID)}));
        EXPECT_EQ(cudaFuncGetAttributes(&attributes, add_kernel), card.kernels);
        EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, add_kernel, 256, 0), card.kernels);
        EXPECT_EQ(cudaGetLastError(), card.kernels);
        gpu::launch(add_kernel, dim3(1), dim3(32), nullptr, static_cast<int*>(nullptr), 0, 1);
        EXPECT_EQ(support::finish_launch(), card.kernels);
    }
    EXPECT_STRNE(bus_ids[0], bus_ids[1]);
    EXPECT_EQ(emu::launches(), 1u);

    unsigned flags[2] = {};
    const unsigned set = cudaDeviceScheduleBlockingSync | cudaDeviceLmemResizeToMax;
    ASSERT_EQ(in_order({cudaSetDevice(1), cudaSetDeviceFlags(set)}), 0);
    EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleSpin | cudaDeviceScheduleYield), cudaErrorInvalidValue);  // one policy
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    ASSERT_EQ(in_order({cudaSetDevice(0), cudaDeviceReset(), cudaGetDeviceFlags(&flags[0]), cudaSetDevice(1),
                        cudaDeviceSynchronize(), cudaGetDeviceFlags(&flags[1])}), 0);
    EXPECT_EQ(flags[0], cudaDeviceMapHost);  // implied by the runtime, always reported
    EXPECT_EQ(flags[1], set | cudaDeviceMapHost);
    ASSERT_EQ(in_order({cudaDeviceReset(), cudaGetDeviceFlags(&flags[1])}), 0);
    EXPECT_EQ(flags[1], cudaDeviceMapHost);

    int driver = 0, runtime = 0, count = -1;
    ASSERT_EQ(in_order({cudaDriverGetVersion(&driver), cudaRuntimeGetVersion(&runtime)}), 0);
    EXPECT_EQ(std::make_pair(driver, runtime), std::make_pair(13000, CUDART_VERSION));
    config.driver_version = 12040;  // CUDA 12.4's, too old for a 13.0 runtime
    emu::configure(config);
    ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
    EXPECT_EQ(driver, 12040);
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInsufficientDriver);
    EXPECT_EQ(count, -1);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "CUDA driver version is insufficient for CUDA runtime version");
}

// The emulated executable hands its environment to the emulator: its --test run on device 1 shows
// the capability set for it, or finds no device under an old driver or a failing count.
TEST(EmulatorProcess, EnvironmentSetsCapabilitiesDriverAndCountFaults)
{
    const std::string miner = CRV_MINER_EMU;
    if (miner.empty()) GTEST_SKIP() << "the emulated executable is not built";
    const struct { const char* setting; const char* expected; } runs[] = {
        {"CRV_EMU_DEVICE_CC=8.9,7.5", "Compute capability: 7.5\n"},
        {"CRV_EMU_DRIVER_VERSION=12040", "insufficient for CUDA runtime version (the installed driver supports CUDA 12.4;"},
        {"CRV_EMU_FAULT=device_count:1+:100", "No CUDA devices found!\n"},
    };
    for (const auto& run : runs) {
        const auto r = support::run_process(miner, {"corvane-miner", "--gpu", "1", "--test"},
                                            {"CRV_EMU_DEVICE_COUNT=2", run.setting, "CRV_DEBUG"});
        EXPECT_NE((r.out + r.err).find(run.expected), std::string::npos) << run.setting << "\n" << r.out << r.err;
    }
}

}  // namespace
