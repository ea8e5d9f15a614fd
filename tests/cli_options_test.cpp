// The command line and the normal start after it.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cli/options.h"
#include "cli/startup.h"
#include "gpu/runtime.h"
#include "support/captured_output.h"

namespace {

TEST(OptionScan, OneLeftToRightPassEndsInOneAction)
{
    using A = StartupAction;
    const long long none = -2;  // --nonce-offset not given
    const std::vector<std::tuple<std::vector<std::string>, A, std::string, int, int, long long>> cases = {
        // words, action, host, port, gpu, nonce offset; every error line is one line with status 1
        {{"-h", "--verbose", "--port=6000", "stray", "--HELP"}, A::Mine, "127.0.0.1", 5002, 0, none},
        {{"--host", "10.0.0.7", "--port", "6001", "--gpu", "1", "--gpu", "0", "--nonce-offset", "9"}, A::Mine,
         "10.0.0.7", 6001, 0, 9},
        {{"--host", "--port", "6000"}, A::Mine, "--port", 5002, 0, none},  // 6000 is a stray value
        {{"--port", "65535", "--port", " 6000x", "--gpu", "2", "--nonce-offset"}, A::Mine, "127.0.0.1", 6000, 2, none},
        {{"--gpu", " +1.9", "--port"}, A::Mine, "127.0.0.1", 5002, 1, none},
        {{"--nonce-offset", "0x10"}, A::Mine, "127.0.0.1", 5002, 0, 16},
        {{"--nonce-offset", "010"}, A::Mine, "127.0.0.1", 5002, 0, 8},
        {{"--nonce-offset", " 09"}, A::Mine, "127.0.0.1", 5002, 0, 0},  // octal stops at the 9
        {{"--nonce-offset", "-1"}, A::Mine, "127.0.0.1", 5002, 0, -1},  // wraps to 2^64 - 1
        {{"--help", "--gpu", "-1"}, A::ShowHelp, "127.0.0.1", 5002, 0, none},
        {{"--test", "--gpu", "1", "--port", "x"}, A::RunTest, "127.0.0.1", 5002, 0, none},
        {{"--gpu", "1", "--test", "--help"}, A::RunTest, "127.0.0.1", 5002, 1, none},
        {{"--gpu", "x"}, A::Fail, "Invalid --gpu value: x (stoi)", 0, 0, none},
        {{"--gpu", "2147483648"}, A::Fail, "Invalid --gpu value: 2147483648 (stoi)", 0, 0, none},
        {{"--gpu", "-02.5", "--help"}, A::Fail, "Invalid --gpu value: -2 (must be >= 0)", 0, 0, none},
        {{"--nonce-offset", "18446744073709551616"}, A::Fail,
         "Invalid --nonce-offset value: 18446744073709551616 (stoull)", 0, 0, none},
        {{"--nonce-offset", "q", "--test"}, A::Fail, "Invalid --nonce-offset value: q (stoull)", 0, 0, none},
        {{"--port", "", "--gpu", "-1"}, A::Fail, "Invalid --port value:  (stoi)", 0, 0, none},
        {{"--port", "65536"}, A::Fail, "Invalid --port value: 65536 (out of range)", 0, 0, none},
        {{"--port", "0"}, A::Fail, "Invalid --port value: 0 (out of range)", 0, 0, none}};
    for (const auto& [words, action, host, port, gpu, offset] : cases) {
        std::vector<std::string> args = {"./corvane-miner"};
        args.insert(args.end(), words.begin(), words.end());
        const OptionScan r = scanStartupOptions(args);
        const std::string trace = testing::PrintToString(words);
        EXPECT_EQ(r.action, action) << trace;
        EXPECT_EQ(r.exit_status, action == A::Fail ? 1 : 0) << trace;
        EXPECT_EQ(action == A::Fail ? r.error : r.settings.host, host) << trace;
        if (action == A::Fail) continue;
        EXPECT_EQ(r.settings.port, port) << trace;
        EXPECT_EQ(r.settings.gpu, gpu) << trace;
        EXPECT_EQ(r.settings.nonce_offset_given ? static_cast<long long>(r.settings.nonce_offset) : none, offset) << trace;
    }
}

TEST(HelpText, ByteForByte)
{
    EXPECT_EQ(helpText("/opt/corvane miner"),
              "Usage: /opt/corvane miner [options]\n"
              "Options:\n"
              "  --test             Run validation test against Rust implementation\n"
              "  --host HOST        Miner bridge host (default: 127.0.0.1)\n"
              "  --port PORT        Miner bridge port (default: 5002)\n"
              "  --nonce-offset K   Set range index (start = K * max_nonces, default: 0)\n"
              "  --gpu ID           Select GPU device ID (0, 1, 2, ..., default: 0)\n"
              "  --help             Show this help message\n"
              "\n"
              "This miner connects directly to the Corvane miner bridge.\n"
              "Make sure the miner bridge is running with:\n"
              "  cd corvane-core && cargo run --bin miner-bridge -- --once=false --print-json --auto-start-mining\n");
}

TEST(NormalStart, ChecksAndSelectsTheDeviceThenEndsWithTheStatusOfMining)
{
    const std::vector<std::tuple<int, int, std::function<bool()>, int, std::string>> cases = {  // devices, gpu, mining
        {0, 0, [] { return true; }, 1, "❌ Error: No CUDA devices found!\n"},
        {2, 2, [] { return true; }, 1, "❌ Error: GPU 2 not found!\n   Available GPUs: 0 to 1\n"},
        {2, 1, [] { return true; }, 0, ""},
        {1, 0, [] { return false; }, 1, ""},  // the bridge was unreachable (the controller reported it)
        {1, 0, []() -> bool { throw std::runtime_error("bridge went away"); }, 1, "Error: bridge went away\n"},
        {1, 0, [] { void* left = nullptr; return cudaMalloc(&left, 64) == cudaSuccess; }, 0, ""}};  // freed by the reset
    for (const auto& [devices, gpu, mining, status, err] : cases) {
        emu::Config config;
        config.device_count = devices;
        emu::configure(config);
        StartupSettings settings;
        settings.gpu = gpu;
        int device = -1;
        const support::CapturedOutput o = support::capture_output([&, &mining = mining, &status = status] {
            EXPECT_EQ(startMiningOnDevice(settings, [&](const std::string& host, int port) {
                EXPECT_EQ(host + ":" + std::to_string(port), "127.0.0.1:5002");
                return cudaGetDevice(&device), mining();
            }), status);
        });
        EXPECT_EQ(o.err, err);
        const bool started = err.rfind("❌", 0) != 0;
        EXPECT_EQ(device, started ? gpu : -1);  // mining runs on the selected device
        EXPECT_EQ(emu::live_allocations(), 0u);
        EXPECT_EQ(o.out, started ? "🌊 Corvane CUDA Miner - GPU " + std::to_string(gpu) + " - Bridge 127.0.0.1:5002\n" : "");
    }
}

}  // namespace
