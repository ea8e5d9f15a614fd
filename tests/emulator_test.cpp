#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/runtime.h"
#include "kernels/emulator_kernels.h"

namespace {

class Emulator : public testing::Test {
protected:
    void SetUp() override { emu::configure(emu::Config{}); }
};

TEST_F(Emulator, MemoryCapacityAndOutOfMemoryText)
{
    emu::Config config;
    config.device.total_memory = size_t(1) << 20;
    emu::configure(config);
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, size_t(20) << 30), cudaErrorMemoryAllocation);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);  // failed calls leave their code pending
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);                // and reading it clears it

    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 600 << 10), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 600 << 10), cudaErrorMemoryAllocation);
    size_t free_bytes = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total), cudaSuccess);
    EXPECT_EQ(total, size_t(1) << 20);
    EXPECT_EQ(free_bytes, (size_t(1) << 20) - (600 << 10));
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaErrorInvalidValue);  // double free is an error, not a crash
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(emu::bytes_in_use(), 0u);
    cudaGetLastError();
}

TEST_F(Emulator, CopiesAndMemsetsMoveBytes)
{
    gpu::DeviceBuffer<uint32_t> d;
    ASSERT_EQ(d.allocate(16), cudaSuccess);
    std::vector<uint32_t> host(16, 7), back(16, 0);
    ASSERT_EQ(cudaMemcpy(d.get(), host.data(), d.bytes(), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(back.data(), d.get(), d.bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, host);
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(d.get(), 0, d.bytes(), stream), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(back.data(), d.get(), d.bytes(), cudaMemcpyDeviceToHost, stream), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    EXPECT_EQ(back, std::vector<uint32_t>(16, 0));
    EXPECT_EQ(emu::live_streams(), 1u);
    ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(emu::live_streams(), 0u);
    cudaGetLastError();
}

TEST_F(Emulator, DeviceBufferOwnsItsAllocation)
{
    {
        gpu::DeviceBuffer<uint64_t> a;
        ASSERT_EQ(a.allocate(100), cudaSuccess);
        EXPECT_EQ(emu::live_allocations(), 1u);
        gpu::DeviceBuffer<uint64_t> b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
        gpu::DeviceBuffer<uint64_t> c;
        c = std::move(b);
        EXPECT_EQ(emu::live_allocations(), 1u);
        EXPECT_EQ(c.bytes(), 800u);
    }
    EXPECT_EQ(emu::live_allocations(), 0u);
    emu::fail_nth(emu::Op::Malloc, 1, cudaErrorMemoryAllocation);
    gpu::DeviceBuffer<uint64_t> d;
    EXPECT_EQ(d.allocate(10), cudaErrorMemoryAllocation);
    EXPECT_FALSE(d);
    cudaGetLastError();
}

TEST_F(Emulator, VirtualDevicesAndTheirProperties)
{
    emu::Config config;
    config.device_count = 2;
    config.device.name = "Test GPU";
    config.device.major = 9;
    config.device.minor = 0;
    config.device.multiprocessor_count = 132;
    emu::configure(config);
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
    int device = -1;
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 1);
    EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    cudaDeviceProp prop{};
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
    EXPECT_STREQ(prop.name, "Test GPU");
    EXPECT_EQ(prop.major, 9);
    EXPECT_EQ(prop.multiProcessorCount, 132);
    EXPECT_EQ(prop.warpSize, 32);
    EXPECT_EQ(prop.maxThreadsPerBlock, 1024);
    EXPECT_EQ(prop.maxThreadsPerMultiProcessor, 1536);

    emu::Config none;
    none.device_count = 0;
    emu::configure(none);
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, 16), cudaErrorNoDevice);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 0), cudaErrorNoDevice);
    cudaGetLastError();
}

TEST_F(Emulator, PendingErrorIsPerHostThread)
{
    void* p = nullptr;
    emu::fail_nth(emu::Op::Malloc, 1, cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorMemoryAllocation);
    cudaError_t other_thread = cudaErrorUnknown;
    std::thread([&] { other_thread = cudaGetLastError(); }).join();
    EXPECT_EQ(other_thread, cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(Emulator, FaultHookCountsCallsPerOperation)
{
    void* blocks[4] = {};
    emu::fail_nth(emu::Op::Malloc, 3, cudaErrorMemoryAllocation);
    emu::fail_nth(emu::Op::Memcpy, 1, cudaErrorIllegalAddress);
    emu::fail_nth(emu::Op::StreamCreate, 1, cudaErrorUnknown);
    EXPECT_EQ(cudaMalloc(&blocks[0], 8), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&blocks[1], 8), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&blocks[2], 8), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&blocks[3], 8), cudaSuccess);  // one fault, one failure
    EXPECT_EQ(emu::live_allocations(), 3u);
    uint64_t host = 0;
    EXPECT_EQ(cudaMemcpy(&host, blocks[0], 8, cudaMemcpyDeviceToHost), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaMemcpy(&host, blocks[0], 8, cudaMemcpyDeviceToHost), cudaSuccess);
    cudaStream_t s = nullptr;
    EXPECT_EQ(cudaStreamCreate(&s), cudaErrorUnknown);
    EXPECT_EQ(emu::live_streams(), 0u);
    emu::fail_nth(emu::Op::Memset, 1, cudaErrorLaunchFailure);
    emu::clear_faults();
    EXPECT_EQ(cudaMemset(blocks[0], 0, 8), cudaSuccess);
    cudaGetLastError();
    for (void* block : blocks) EXPECT_EQ(cudaFree(block), cudaSuccess);
    EXPECT_EQ(emu::live_allocations(), 0u);
}

TEST_F(Emulator, LaunchErrorsAtOnceKernelFaultsAtSynchronisation)
{
    gpu::DeviceBuffer<uint32_t> out, bad;
    ASSERT_EQ(out.allocate(4 * 64), cudaSuccess);
    ASSERT_EQ(bad.allocate(1), cudaSuccess);
    ASSERT_EQ(cudaMemset(bad.get(), 0, 4), cudaSuccess);

    test_kernels::launch_index_kernel(dim3(1), dim3(2048), out.get(), bad.get());  // above 1024 threads
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    test_kernels::launch_index_kernel(dim3(0), dim3(64), out.get(), bad.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");

    emu::fail_nth(emu::Op::Launch, 1, cudaErrorLaunchOutOfResources);
    test_kernels::launch_index_kernel(dim3(4), dim3(64), out.get(), bad.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);

    emu::fail_nth(emu::Op::Kernel, 1, cudaErrorIllegalAddress);
    test_kernels::launch_index_kernel(dim3(4), dim3(64), out.get(), bad.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // the launch itself went through
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    emu::fail_nth(emu::Op::Synchronize, 1, cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    cudaGetLastError();
}

TEST_F(Emulator, EveryThreadRunsOnceWithItsIndices)
{
    emu::Config config;
    config.worker_threads = 4;
    emu::configure(config);
    const unsigned blocks = 37, threads = 96;
    gpu::DeviceBuffer<uint32_t> out, bad;
    ASSERT_EQ(out.allocate(blocks * threads), cudaSuccess);
    ASSERT_EQ(bad.allocate(1), cudaSuccess);
    ASSERT_EQ(cudaMemset(out.get(), 0xff, out.bytes()), cudaSuccess);
    ASSERT_EQ(cudaMemset(bad.get(), 0, 4), cudaSuccess);
    test_kernels::launch_index_kernel(dim3(blocks), dim3(threads), out.get(), bad.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::vector<uint32_t> host(blocks * threads);
    uint32_t bad_dims = 1;
    ASSERT_EQ(cudaMemcpy(host.data(), out.get(), out.bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(&bad_dims, bad.get(), 4, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(bad_dims, 0u);
    for (unsigned b = 0; b < blocks; ++b)
        for (unsigned t = 0; t < threads; ++t) ASSERT_EQ(host[b * threads + t], (b << 16) | t);
    EXPECT_EQ(emu::launches(), 1u);
}

TEST_F(Emulator, AtomicsHaveExactlyOneWinnerUnderContention)
{
    emu::Config config;
    config.worker_threads = 4;
    emu::configure(config);
    for (int round = 0; round < 20; ++round) {
        gpu::DeviceBuffer<unsigned int> flag, claims;
        gpu::DeviceBuffer<unsigned long long> last;
        ASSERT_EQ(flag.allocate(1), cudaSuccess);
        ASSERT_EQ(claims.allocate(1), cudaSuccess);
        ASSERT_EQ(last.allocate(1), cudaSuccess);
        ASSERT_EQ(cudaMemset(flag.get(), 0, 4), cudaSuccess);
        ASSERT_EQ(cudaMemset(claims.get(), 0, 4), cudaSuccess);
        ASSERT_EQ(cudaMemset(last.get(), 0, 8), cudaSuccess);
        test_kernels::launch_claim_kernel(dim3(64), dim3(128), flag.get(), claims.get(), last.get());
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        unsigned int f = 0, c = 0;
        unsigned long long l = 0;
        ASSERT_EQ(cudaMemcpy(&f, flag.get(), 4, cudaMemcpyDeviceToHost), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(&c, claims.get(), 4, cudaMemcpyDeviceToHost), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(&l, last.get(), 8, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(f, 1u);
        EXPECT_EQ(c, 1u);
        EXPECT_GE(l, 1u);
        EXPECT_LE(l, 64u * 128u);
    }
}

void dummy_kernel() {}

TEST_F(Emulator, OccupancyFollowsTheVirtualDevice)
{
    int blocks = -1;
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, dummy_kernel, 256, 0), cudaSuccess);
    EXPECT_EQ(blocks, 6);  // 1536 threads / 256
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, dummy_kernel, 33, 0), cudaSuccess);
    EXPECT_EQ(blocks, 24);  // rounded to 64 threads: 24, capped by the block limit
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, dummy_kernel, 2048, 0), cudaSuccess);
    EXPECT_EQ(blocks, 0);

    int min_grid = 0, block = 0;
    ASSERT_EQ(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, dummy_kernel, 0, 0), cudaSuccess);
    EXPECT_EQ(block * (1536 / block), 1536);  // a size that fills the multiprocessor
    EXPECT_EQ(block, 768);                    // the first (largest) such size, stepping down
    EXPECT_EQ(min_grid, 2 * 4);

    emu::fail_nth(emu::Op::Occupancy, 1, cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, dummy_kernel, 256, 0),
              cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);
    cudaFuncAttributes attributes{};
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, dummy_kernel), cudaSuccess);
    EXPECT_EQ(attributes.maxThreadsPerBlock, 1024);
}

TEST_F(Emulator, DeviceResetReleasesEverything)
{
    void* p = nullptr;
    cudaStream_t s = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 1024), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&p, size_t(8) << 40), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
    EXPECT_EQ(emu::live_allocations(), 0u);
    EXPECT_EQ(emu::live_streams(), 0u);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(EmulatorErrorText, MatchesTheRuntime)
{
    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchOutOfResources), "too many resources requested for launch");
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
}

}  // namespace
