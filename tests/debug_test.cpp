#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "diag/debug.h"

namespace {

TEST(DebugSwitch, OnlyTheFirstCharacterCounts)
{
    EXPECT_FALSE(crv_debug_value_enables(nullptr));
    EXPECT_FALSE(crv_debug_value_enables(""));
    EXPECT_FALSE(crv_debug_value_enables("0"));
    EXPECT_FALSE(crv_debug_value_enables("00"));
    EXPECT_FALSE(crv_debug_value_enables("0x"));
    for (const char* on : {"1", "yes", "false", "off", " 0"}) EXPECT_TRUE(crv_debug_value_enables(on)) << on;
}

TEST(DebugSwitch, EvaluatedOnceForAllThreads)
{
    setenv("CRV_DEBUG", "1", 1);
    std::vector<std::thread> threads;
    std::vector<int> seen(8, -1);
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = crv_debug_runtime_enabled() ? 1 : 0; });
    for (auto& t : threads) t.join();
    const bool first = crv_debug_runtime_enabled();
    for (int v : seen) EXPECT_EQ(v, first ? 1 : 0);
    setenv("CRV_DEBUG", first ? "0" : "1", 1);
    EXPECT_EQ(crv_debug_runtime_enabled(), first);  // later changes have no effect

    testing::internal::CaptureStdout();
    crv_debug_line("preprocess: commitment computed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), first ? "[DBG] preprocess: commitment computed\n" : "");
}

TEST(CudaErrorLines, FormatAndClearing)
{
    emu::configure(emu::Config{});
    testing::internal::CaptureStderr();
    crv_clear_cuda_errors("nothing pending");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, size_t(64) << 30), cudaErrorMemoryAllocation);
    testing::internal::CaptureStderr();
    crv_clear_cuda_errors("pre-mining stale error");
    crv_clear_cuda_errors("pre-mining stale error");  // the first call cleared it
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR][pre-mining stale error] out of memory\n");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(crv_cuda_ok(cudaSuccess, "unused"));
    EXPECT_FALSE(crv_cuda_ok(cudaErrorLaunchFailure, "sync final ops"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR][sync final ops] unspecified launch failure\n");
}

}  // namespace
