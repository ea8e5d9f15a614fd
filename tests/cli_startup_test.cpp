#include <gtest/gtest.h>

#include <stdexcept>

#include "cli/startup.h"
#include "gpu/runtime.h"
#include "support/captured_output.h"

namespace {

TEST(NormalStart, ChecksSelectsTheDeviceAndEndsWithItsStatus)
{
    struct Case {
        int devices, gpu;
        std::function<bool()> mining;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {0, 0, [] { return true; }, 1, "❌ Error: No CUDA devices found!\n"},
        {2, 2, [] { return true; }, 1, "❌ Error: GPU 2 not found!\n   Available GPUs: 0 to 1\n"},
        {2, 1, [] { return true; }, 0, ""},
        {1, 0, [] { return false; }, 1, ""},  // unreachable bridge: reported by the controller
        {1, 0, []() -> bool { throw std::runtime_error("bridge went away"); }, 1, "Error: bridge went away\n"},
        {1, 0, [] { void* p = nullptr; return cudaMalloc(&p, 4096) == cudaSuccess; }, 0, ""}};  // left to the reset
    for (const Case& c : cases) {
        emu::Config config;
        config.device_count = c.devices;
        emu::configure(config);
        StartupSettings settings;
        settings.gpu = c.gpu;
        settings.host = "10.1.2.3";
        int status = -1, device = -1;
        const support::CapturedOutput o = support::capture_output([&] {
            status = startMiningOnDevice(settings, [&](const std::string& host, int port) {
                EXPECT_EQ(host + ":" + std::to_string(port), "10.1.2.3:5002");
                cudaGetDevice(&device);
                return c.mining();
            });
        });
        EXPECT_EQ(status, c.status) << c.err;
        EXPECT_EQ(o.err, c.err);
        const bool checked = c.err.rfind("❌", 0) != 0;
        EXPECT_EQ(o.out, checked ? miningBanner(settings) + "\n" : "");
        EXPECT_EQ(device, checked ? c.gpu : -1);  // mining runs on the selected device
        EXPECT_EQ(emu::live_allocations(), 0u);
    }
    EXPECT_EQ(miningBanner(StartupSettings{}), "🌊 Corvane CUDA Miner - GPU 0 - Bridge 127.0.0.1:5002");
}

}  // namespace
