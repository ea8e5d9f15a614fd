#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"

namespace {

OptionScan scan(std::vector<std::string> words)
{
    words.insert(words.begin(), "./corvane-miner");
    return scanStartupOptions(words);
}

TEST(OptionScan, ValuesConversionsAndTheOrderOfTheScan)
{
    struct Case {
        std::vector<std::string> words;
        StartupAction action;
        std::string host;
        int port, gpu;
        long long nonce_offset;  // -2: not given
    };
    const long long none = -2;
    const std::vector<Case> cases = {
        {{}, StartupAction::Mine, "127.0.0.1", 5002, 0, none},
        {{"-h", "--verbose", "--port=6000", "stray", "7", "--HELP", "test"}, StartupAction::Mine, "127.0.0.1", 5002, 0, none},
        {{"--host", "10.0.0.7", "--port", "6001", "--gpu", "1", "--gpu", "0", "--nonce-offset", "9"},
         StartupAction::Mine, "10.0.0.7", 6001, 0, 9},
        {{"--host", "--port", "6000"}, StartupAction::Mine, "--port", 5002, 0, none},  // 6000 is a stray value
        {{"--host", "--help"}, StartupAction::Mine, "--help", 5002, 0, none},
        {{"--port", "6002", "--gpu", "2", "--nonce-offset"}, StartupAction::Mine, "127.0.0.1", 6002, 2, none},
        {{"--gpu", "2", "--port"}, StartupAction::Mine, "127.0.0.1", 5002, 2, none},
        {{"--gpu", "1.9"}, StartupAction::Mine, "127.0.0.1", 5002, 1, none},
        {{"--gpu", " +7abc"}, StartupAction::Mine, "127.0.0.1", 5002, 7, none},
        {{"--port", "65535", "--port", "6000x"}, StartupAction::Mine, "127.0.0.1", 6000, 0, none},
        {{"--nonce-offset", "0x10"}, StartupAction::Mine, "127.0.0.1", 5002, 0, 16},
        {{"--nonce-offset", "010"}, StartupAction::Mine, "127.0.0.1", 5002, 0, 8},
        {{"--nonce-offset", "09"}, StartupAction::Mine, "127.0.0.1", 5002, 0, 0},  // octal stops at the 9
        {{"--nonce-offset", " 12abc"}, StartupAction::Mine, "127.0.0.1", 5002, 0, 12},
        {{"--nonce-offset", "-1"}, StartupAction::Mine, "127.0.0.1", 5002, 0, -1},  // wraps to 2^64 - 1
        {{"--help", "--gpu", "-1"}, StartupAction::ShowHelp, "127.0.0.1", 5002, 0, none},
        {{"--help", "--test"}, StartupAction::ShowHelp, "127.0.0.1", 5002, 0, none},
        {{"--test", "--gpu", "1", "--port", "x"}, StartupAction::RunTest, "127.0.0.1", 5002, 0, none},
        {{"--gpu", "1", "--test", "--help"}, StartupAction::RunTest, "127.0.0.1", 5002, 1, none},
    };
    for (const Case& c : cases) {
        const OptionScan r = scan(c.words);
        const std::string words = testing::PrintToString(c.words);
        EXPECT_EQ(r.action, c.action) << words;
        EXPECT_EQ(r.exit_status, 0) << words;
        EXPECT_EQ(r.settings.host, c.host) << words;
        EXPECT_EQ(r.settings.port, c.port) << words;
        EXPECT_EQ(r.settings.gpu, c.gpu) << words;
        EXPECT_EQ(r.settings.nonce_offset_given, c.nonce_offset != none) << words;
        if (c.nonce_offset != none) EXPECT_EQ(r.settings.nonce_offset, static_cast<uint64_t>(c.nonce_offset)) << words;
    }
}

TEST(OptionScan, BadValuesEndTheStartWithStatusOne)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--gpu", "x"}, "Invalid --gpu value: x (stoi)"},
        {{"--gpu", ""}, "Invalid --gpu value:  (stoi)"},
        {{"--gpu", "2147483648"}, "Invalid --gpu value: 2147483648 (stoi)"},
        {{"--gpu", "-02.5", "--help"}, "Invalid --gpu value: -2 (must be >= 0)"},  // the converted number
        {{"--nonce-offset", "18446744073709551616"}, "Invalid --nonce-offset value: 18446744073709551616 (stoull)"},
        {{"--nonce-offset", "q", "--test"}, "Invalid --nonce-offset value: q (stoull)"},
        {{"--port", "x", "--gpu", "-1"}, "Invalid --port value: x (stoi)"},
        {{"--port", "99999999999"}, "Invalid --port value: 99999999999 (stoi)"},
        {{"--port", "65536"}, "Invalid --port value: 65536 (out of range)"},
        {{"--port", "0"}, "Invalid --port value: 0 (out of range)"},
        {{"--port", "-1"}, "Invalid --port value: -1 (out of range)"},
    };
    for (const auto& [words, line] : cases) {
        const OptionScan r = scan(words);
        EXPECT_EQ(r.action, StartupAction::Fail) << line;
        EXPECT_EQ(r.exit_status, 1) << line;
        EXPECT_EQ(r.error, line);
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

}  // namespace
