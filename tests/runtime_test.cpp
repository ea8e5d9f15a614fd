// The debug switch, the CUDA error lines, and the emulator's behaviours that the system relies on.
#include <thread>

#include "diag/debug.h"
#include "gpu/launch.h"
#include "support/captured_output.h"
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

}  // namespace
