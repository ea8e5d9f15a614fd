#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace {

OptionScan scan(std::vector<std::string> words)
{
    words.insert(words.begin(), "./corvane-miner");
    return scanStartupOptions(words);
}

void expectFailure(const OptionScan& result, const std::string& line)
{
    EXPECT_EQ(result.action, StartupAction::Fail);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.error, line);
}

TEST(OptionScan, DefaultsAndIgnoredWords)
{
    for (const auto& words : std::vector<std::vector<std::string>>{
             {}, {"-h", "--verbose", "--port=6000", "--gpu=3", "stray", "7"}, {"--HELP", "--Test", "test"}}) {
        const OptionScan r = scan(words);
        EXPECT_EQ(r.action, StartupAction::Mine);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.settings.host, "127.0.0.1");
        EXPECT_EQ(r.settings.port, 5002);
        EXPECT_EQ(r.settings.gpu, 0);
        EXPECT_FALSE(r.settings.nonce_offset_given);
        EXPECT_TRUE(r.error.empty());
    }
}

TEST(OptionScan, ValuesAreTheNextWordAndTheLastOccurrenceWins)
{
    OptionScan r = scan({"--host", "10.0.0.7", "--port", "6001", "--gpu", "1", "--gpu", "0", "--nonce-offset", "9"});
    EXPECT_EQ(r.action, StartupAction::Mine);
    EXPECT_EQ(r.settings.host, "10.0.0.7");
    EXPECT_EQ(r.settings.port, 6001);
    EXPECT_EQ(r.settings.gpu, 0);
    EXPECT_TRUE(r.settings.nonce_offset_given);
    EXPECT_EQ(r.settings.nonce_offset, 9u);

    // The host takes any next word, even an option; the 6000 that follows is a stray value.
    r = scan({"--host", "--port", "6000"});
    EXPECT_EQ(r.settings.host, "--port");
    EXPECT_EQ(r.settings.port, 5002);
    r = scan({"--host", "localhost"});
    EXPECT_EQ(r.settings.host, "localhost");

    // A value option as the last word keeps the previous value.
    for (const char* option : {"--host", "--port", "--gpu", "--nonce-offset"}) {
        r = scan({"--port", "6002", "--gpu", "2", option});
        EXPECT_EQ(r.action, StartupAction::Mine) << option;
        EXPECT_EQ(r.settings.port, 6002) << option;
        EXPECT_EQ(r.settings.gpu, 2) << option;
        EXPECT_EQ(r.settings.host, "127.0.0.1") << option;
        EXPECT_FALSE(r.settings.nonce_offset_given) << option;
    }
}

TEST(OptionScan, GpuIndexConversion)
{
    // Longest decimal prefix, leading space and sign accepted.
    for (const auto& [text, value] : std::vector<std::pair<std::string, int>>{
             {"1.9", 1}, {"1abc", 1}, {" 3", 3}, {"+4", 4}, {"007", 7}, {"0x10", 0}, {"2147483647", 2147483647}}) {
        const OptionScan r = scan({"--gpu", text});
        EXPECT_EQ(r.action, StartupAction::Mine) << text;
        EXPECT_EQ(r.settings.gpu, value) << text;
    }
    expectFailure(scan({"--gpu", "x"}), "Invalid --gpu value: x (stoi)");
    expectFailure(scan({"--gpu", ""}), "Invalid --gpu value:  (stoi)");
    expectFailure(scan({"--gpu", "2147483648"}), "Invalid --gpu value: 2147483648 (stoi)");
    expectFailure(scan({"--gpu", "-1"}), "Invalid --gpu value: -1 (must be >= 0)");
    // The negative report shows the converted number, not the text.
    expectFailure(scan({"--gpu", "-02.5"}), "Invalid --gpu value: -2 (must be >= 0)");
}

TEST(OptionScan, NonceOffsetChoosesItsBaseAndWraps)
{
    for (const auto& [text, value] : std::vector<std::pair<std::string, uint64_t>>{
             {"0x10", 16},
             {"0X1f", 31},
             {"010", 8},
             {"10", 10},
             {"0", 0},
             {"-1", 18446744073709551615ull},
             {"18446744073709551615", 18446744073709551615ull},
             {"12abc", 12},
             {"09", 0},  // octal stops at the 9
             {"  42", 42}}) {
        const OptionScan r = scan({"--nonce-offset", text});
        EXPECT_EQ(r.action, StartupAction::Mine) << text;
        EXPECT_TRUE(r.settings.nonce_offset_given) << text;
        EXPECT_EQ(r.settings.nonce_offset, value) << text;
    }
    expectFailure(scan({"--nonce-offset", "18446744073709551616"}),
                  "Invalid --nonce-offset value: 18446744073709551616 (stoull)");
    expectFailure(scan({"--nonce-offset", "zz"}), "Invalid --nonce-offset value: zz (stoull)");
    expectFailure(scan({"--nonce-offset", "0x1ffffffffffffffff"}),
                  "Invalid --nonce-offset value: 0x1ffffffffffffffff (stoull)");
}

TEST(OptionScan, PortMustBeATcpPort)
{
    for (const auto& [text, value] :
         std::vector<std::pair<std::string, int>>{{"1", 1}, {"65535", 65535}, {"6000x", 6000}, {" 5003", 5003}}) {
        const OptionScan r = scan({"--port", text});
        EXPECT_EQ(r.action, StartupAction::Mine) << text;
        EXPECT_EQ(r.settings.port, value) << text;
    }
    expectFailure(scan({"--port", "abc"}), "Invalid --port value: abc (stoi)");
    expectFailure(scan({"--port", "99999999999"}), "Invalid --port value: 99999999999 (stoi)");
    expectFailure(scan({"--port", "70000"}), "Invalid --port value: 70000 (out of range)");
    expectFailure(scan({"--port", "65536"}), "Invalid --port value: 65536 (out of range)");
    expectFailure(scan({"--port", "0"}), "Invalid --port value: 0 (out of range)");
    expectFailure(scan({"--port", "-1"}), "Invalid --port value: -1 (out of range)");
    // Stops the scan where it stands, like the other numeric options.
    expectFailure(scan({"--port", "x", "--gpu", "-1"}), "Invalid --port value: x (stoi)");
    EXPECT_EQ(scan({"--help", "--port", "x"}).action, StartupAction::ShowHelp);
    EXPECT_EQ(scan({"--test", "--port", "70000"}).action, StartupAction::RunTest);
}

TEST(OptionScan, HelpAndTestEndTheScanWhereTheyStand)
{
    OptionScan r = scan({"--help", "--gpu", "-1"});
    EXPECT_EQ(r.action, StartupAction::ShowHelp);
    EXPECT_EQ(r.exit_status, 0);
    expectFailure(scan({"--gpu", "-1", "--help"}), "Invalid --gpu value: -1 (must be >= 0)");
    expectFailure(scan({"--nonce-offset", "q", "--test"}), "Invalid --nonce-offset value: q (stoull)");

    r = scan({"--test", "--gpu", "1"});
    EXPECT_EQ(r.action, StartupAction::RunTest);
    EXPECT_EQ(r.settings.gpu, 0);  // the index after --test is never seen
    r = scan({"--gpu", "1", "--test", "--help"});
    EXPECT_EQ(r.action, StartupAction::RunTest);
    EXPECT_EQ(r.settings.gpu, 1);
    EXPECT_EQ(scan({"--test", "--gpu", "-1"}).action, StartupAction::RunTest);
    EXPECT_EQ(scan({"--help", "--test"}).action, StartupAction::ShowHelp);
    // A value option swallows the next word, even --help.
    r = scan({"--host", "--help"});
    EXPECT_EQ(r.action, StartupAction::Mine);
    EXPECT_EQ(r.settings.host, "--help");
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(HelpText, LinesAndColumns)
{
    const std::string text = helpText("/opt/bin/corvane miner");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto l = lines(text);
    ASSERT_EQ(l.size(), 12u);
    EXPECT_EQ(l[0], "Usage: /opt/bin/corvane miner [options]");
    EXPECT_EQ(l[1], "Options:");
    EXPECT_TRUE(l[8].empty());
    // Option lines: two spaces, the option (and its argument), descriptions from column 22.
    const char* options[] = {"--test", "--host HOST", "--port PORT", "--nonce-offset K", "--gpu ID", "--help"};
    for (int i = 0; i < 6; ++i) {
        const std::string& line = l[2 + i];
        EXPECT_EQ(line.substr(0, 2 + std::string(options[i]).size()), std::string("  ") + options[i]) << line;
        ASSERT_GT(line.size(), 22u);
        EXPECT_EQ(line.find_first_not_of(' ', 2 + std::string(options[i]).size()), 21u) << line;
    }
    EXPECT_EQ(l[2].substr(21), "Run validation test against Rust implementation");
    EXPECT_EQ(l[5].substr(21), "Set range index (start = K * max_nonces, default: 0)");
    EXPECT_EQ(l[6].substr(21), "Select GPU device ID (0, 1, 2, ..., default: 0)");
    EXPECT_EQ(l[9], "This miner connects directly to the Corvane miner bridge.");
    EXPECT_EQ(l[11],
              "  cd corvane-core && cargo run --bin miner-bridge -- --once=false --print-json --auto-start-mining");
    EXPECT_EQ(helpText("").substr(0, 17), "Usage:  [options]");
}

}  // namespace
