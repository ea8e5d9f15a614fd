#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "cli/startup.h"
#include "gpu/runtime.h"

namespace {

void configureDevices(int count)
{
    emu::Config config;
    config.device_count = count;
    emu::configure(config);
}

struct Outcome {
    int status = -100;
    int calls = 0;
    std::string host;
    int port = 0;
    int device_seen = -1;
    std::string out;
    std::string err;
};

// Runs the normal start with a stand-in for the mining controller that records what it was given.
template <typename Body>
Outcome start(const StartupSettings& settings, Body body)
{
    Outcome o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    o.status = startMiningOnDevice(settings, [&](const std::string& host, int port) {
        ++o.calls;
        o.host = host;
        o.port = port;
        cudaGetDevice(&o.device_seen);
        return body();
    });
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

TEST(NormalStart, DeviceChecksComeBeforeMining)
{
    configureDevices(0);
    Outcome o = start(StartupSettings{}, [] { return true; });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.calls, 0);
    EXPECT_EQ(o.err, "❌ Error: No CUDA devices found!\n");
    EXPECT_EQ(o.out, "");

    configureDevices(2);
    StartupSettings settings;
    settings.gpu = 5;
    o = start(settings, [] { return true; });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.calls, 0);
    EXPECT_EQ(o.err, "❌ Error: GPU 5 not found!\n   Available GPUs: 0 to 1\n");
    EXPECT_EQ(o.out, "");

    settings.gpu = 2;  // one past the last
    EXPECT_EQ(start(settings, [] { return true; }).err, "❌ Error: GPU 2 not found!\n   Available GPUs: 0 to 1\n");
}

TEST(NormalStart, SelectsTheDevicePrintsTheBannerAndMines)
{
    configureDevices(2);
    StartupSettings settings;
    settings.gpu = 1;
    settings.host = "10.1.2.3";
    settings.port = 6001;
    const Outcome o = start(settings, [] { return true; });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.host, "10.1.2.3");
    EXPECT_EQ(o.port, 6001);
    EXPECT_EQ(o.device_seen, 1);  // mining runs on the selected device
    EXPECT_EQ(o.out, "🌊 Corvane CUDA Miner - GPU 1 - Bridge 10.1.2.3:6001\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(miningBanner(StartupSettings{}), "🌊 Corvane CUDA Miner - GPU 0 - Bridge 127.0.0.1:5002");
}

TEST(NormalStart, FailuresOfTheControllerEndWithStatusOne)
{
    configureDevices(1);
    // Unreachable bridge: the controller has reported it, the process must not claim success.
    Outcome o = start(StartupSettings{}, [] { return false; });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.err, "");

    o = start(StartupSettings{}, []() -> bool { throw std::runtime_error("bridge went away"); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Error: bridge went away\n");
    EXPECT_EQ(o.out, "🌊 Corvane CUDA Miner - GPU 0 - Bridge 127.0.0.1:5002\n");
}

TEST(NormalStart, DeviceMemoryIsReleasedWhenMiningEnds)
{
    configureDevices(1);
    const Outcome o = start(StartupSettings{}, [] {
        void* leaked = nullptr;
        return cudaMalloc(&leaked, 4096) == cudaSuccess;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(emu::live_allocations(), 0u);  // the device reset at the end frees what mining left
}

}  // namespace
