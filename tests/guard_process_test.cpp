// What guards the cards, through the emulated executable: the watchdog of a card that hangs, the
// log file, the telemetry and the temperature limit; the service files against it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/mining_fixture.h"
#include "gpu/telemetry.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::in_order;
using support::test_puzzle;
using support::TestBridge;

const std::string FAST = "tree_height=5 range=256 batch=128 fetch_pause_ms=20 receive_timeout_ms=2000 status_ms=100";

std::unique_ptr<support::ChildProcess> miner_on(const TestBridge& bridge, int devices, std::vector<std::string> env,
                                                std::vector<std::string> args = {})
{
    env.push_back("CRV_EMU_DEVICE_COUNT=" + std::to_string(devices));
    std::vector<std::string> argv = {"corvane-miner", "--port", std::to_string(bridge.port()), "--gpu", "all"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<support::ChildProcess>(CRV_MINER_EMU, argv, env);
}

TEST(Telemetry, CudaAndNvmlBusIdsOfOneCardMatch)
{
    for (const auto& [cuda, nvml, same] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"0000:0D:00.0", "00000000:0d:00.0", true},
             {"0001:0d:00.0", "00000001:0D:00.0", true},
             {"0000:0D:00.0", "00000001:0D:00.0", false},
             {"0000:0D:00.0", "00000000:0E:00.0", false},
             {"0000:0D:00.0", "0000000G:0D:00.0", false},
             {"", "", false}})
        EXPECT_EQ(same_pci_bus_id(cuda, nvml), same) << cuda << " " << nvml;
}

TEST(GuardProcess, ACardThatHangsEndsTheProcessWithItsOwnStatusWithoutWaitingForIt)
{
    // The only card, or card 1 of two, hangs in its 40th kernel (a mining batch); the watchdog
    // waits 300 ms for it.
    for (const auto& [devices, hang, card] : std::vector<std::tuple<int, std::string, std::string>>{
             {1, "hang:40", ""}, {2, "hang:40:1", "GPU 1: "}}) {
        TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("hang", "b", support::impossible_threshold()))));
        const auto miner = miner_on(bridge, devices, {"CRV_EMU_MINING=" + FAST + " watchdog_ms=300", "CRV_EMU_FAULT=" + hang});
        const support::ProcessResult r = miner->wait(30s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 4) << r.err;
        const std::string gpu = devices == 1 ? "0" : "1";
        EXPECT_EQ(count_of(r.err, card + "❌ GPU " + gpu + " hangs: a batch has not completed within 300 ms; stopping "
                                  "with exit status 4 without waiting for it, so that the miner can be restarted\n"),
                  1u)
            << r.err;
        EXPECT_TRUE(in_order(r.out, {"📊 Final status: ", "📡 Disconnected from miner bridge\n"})) << r.out;
        // The card that mines on is cleaned up; the hung one is never touched again.
        EXPECT_EQ(count_of(r.out, card + "Cleaning up GPU memory"), 0u) << r.out;
        EXPECT_EQ(count_of(r.out, "GPU 0: Cleaning up GPU memory"), devices == 1 ? 0u : 1u) << r.out;
    }
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> non_empty_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The body of GET `path` from the miner's API on 127.0.0.1:`port`; empty when it cannot connect.
std::string http_get(int port, const std::string& path)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: miner\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[65536];
        for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

int api_port(const std::string& out)
{
    std::smatch match;
    return std::regex_search(out, match, std::regex(R"(HTTP API at http://127\.0\.0\.1:(\d+)/)")) ? std::stoi(match[1]) : 0;
}

TEST(GuardProcess, AHotCardPausesWhileTheOtherMinesOnAndResumesWhereItWasOnceCool)
{
    char dir[] = "/tmp/corvane-heat-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string sensors = std::string(dir) + "/sensors";
    // Replaced whole, as the miner may read it at any time.
    const auto card_1_at = [&](int memory) {
        std::ofstream(sensors + ".new") << "0 temp=60 mem_temp=70 power_w=200 fan_pct=55 sm_mhz=1800 mem_mhz=10000\n"
                                        << "1 temp=60 mem_temp=" << memory << " power_w=210 fan_pct=45 sm_mhz=1750\n";
        ASSERT_EQ(std::rename((sensors + ".new").c_str(), sensors.c_str()), 0);
    };
    card_1_at(70);
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("heat", "b", support::impossible_threshold()))));
    const auto miner = miner_on(bridge, 2, {"CRV_EMU_MINING=" + FAST, "CRV_EMU_TELEMETRY=" + sensors, "CRV_DEBUG=1"},
                                {"--temp-limit", "80"});
    ASSERT_TRUE(miner->wait_for_output("GPU 1: Nonce offset (range index): 5,", 60s)) << miner->out();
    const int port = api_port(miner->out());
    // The sensors in the status line, /summary and /metrics.
    ASSERT_TRUE(miner->wait_for_output("[60 °C, memory 70 °C, 210 W, fan 45%]", 10s)) << miner->out();
    const nlohmann::json card = nlohmann::json::parse(http_get(port, "/summary"))["gpus"][1]["telemetry"];
    EXPECT_EQ(card["memory_temperature_c"], 70);
    EXPECT_EQ(card["sm_clock_mhz"], 1750);
    EXPECT_TRUE(card["memory_clock_mhz"].is_null());
    EXPECT_TRUE(card["candidates_per_joule"].is_number());
    const std::string metrics = http_get(port, "/metrics");
    for (const std::string sample : {"corvane_gpu_temperature_celsius{gpu=\"1\",sensor=\"memory\"} 70\n",
                                     "corvane_gpu_power_watts{gpu=\"1\"} 210\n", "corvane_gpu_fan_ratio{gpu=\"1\"} 0.45\n"})
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;

    // Card 1's memory reaches the limit: it pauses, card 0 mines 10 more ranges, card 1 none.
    card_1_at(80);
    ASSERT_TRUE(miner->wait_for_output("GPU 1: 🌡️ GPU 1 paused: 80 °C reaches the limit of 80 °C; it resumes at 70 °C\n",
                                       10s))
        << miner->out();
    const auto at_pause = support::ranges_by_card(miner->out());
    ASSERT_TRUE(miner->wait_for_output(
        "GPU 0: Nonce offset (range index): " + std::to_string(at_pause.at(0).back() + 20) + ",", 30s));
    ASSERT_TRUE(miner->wait_for_output("GPU 1: paused [60 °C, memory 80 °C", 10s)) << miner->out();
    EXPECT_EQ(nlohmann::json::parse(http_get(port, "/summary"))["gpus"][1]["state"], "paused");
    // 9 °C below is not cool enough; 10 °C below is.
    card_1_at(71);
    ASSERT_TRUE(miner->wait_for_output("GPU 1: paused [60 °C, memory 71 °C", 10s)) << miner->out();
    EXPECT_EQ(support::ranges_by_card(miner->out()).at(1), at_pause.at(1));
    card_1_at(70);
    ASSERT_TRUE(miner->wait_for_output("GPU 1: 🌡️ GPU 1 resumed: 70 °C, 10 °C below the limit\n", 10s)) << miner->out();
    const std::string next = std::to_string(at_pause.at(1).back() + 4);
    ASSERT_TRUE(miner->wait_for_output("GPU 1: Nonce offset (range index): " + next + ",", 30s)) << miner->out();
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "🌡️ GPU 1 paused"), 1u);
    EXPECT_EQ(count_of(r.out, "🌡️ GPU 0 paused"), 0u);
    // Card 1 picked up its ranges where it paused: none skipped, none twice.
    const std::vector<uint64_t> ranges = support::ranges_by_card(r.out).at(1);
    for (size_t k = 0; k < ranges.size(); ++k) EXPECT_EQ(ranges[k], 1 + 2 * k);
    std::remove(sensors.c_str());
    rmdir(dir);
}

TEST(GuardProcess, HiveOsStatsReadTheMinersSummary)
{
    const std::string service = std::string(CRV_TEST_TOOLS) + "/../../service";
    const std::string sensors = "/tmp/corvane-hive-sensors-" + std::to_string(getpid());
    std::ofstream(sensors) << "0 temp=61 fan_pct=55\n1 temp=67.6 mem_temp=80 fan_pct=45\n";
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("hive", "b", support::impossible_threshold()))));
    const auto miner = miner_on(bridge, 2, {"CRV_EMU_MINING=" + FAST, "CRV_EMU_TELEMETRY=" + sensors});
    ASSERT_TRUE(miner->wait_for_output("📊 Status: ", 30s)) << miner->out();
    const std::string stats_of = ". " + service + "/hiveos/h-stats.sh; printf '%s\\n%s\\n' \"$khs\" \"$stats\"";
    const int port = api_port(miner->out());
    // The rates are sampled once a second: the agent's view once the 60-s rate is above 0.
    nlohmann::json stats;
    double khs = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 20s; khs <= 0 && std::chrono::steady_clock::now() < deadline;) {
        const support::ProcessResult r =
            support::run_process("/bin/bash", {"bash", "-c", stats_of}, {"MINER_API_PORT=" + std::to_string(port)}, 10s);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::istringstream lines(r.out);
        std::string khs_line, stats_line;
        std::getline(lines, khs_line);
        std::getline(lines, stats_line);
        khs = std::stod(khs_line);
        stats = nlohmann::json::parse(stats_line);
    }
    ASSERT_GT(khs, 0);
    EXPECT_NEAR(stats["hs"][0].get<double>() + stats["hs"][1].get<double>(), khs, khs * 1e-9);
    EXPECT_EQ(stats["hs_units"], "khs");
    EXPECT_EQ(stats["temp"], nlohmann::json({61, 68}));
    EXPECT_EQ(stats["fan"], nlohmann::json({55, 45}));
    EXPECT_EQ(stats["bus_numbers"], nlohmann::json({13, 14}));  // the emulator's buses 0D and 0E
    EXPECT_EQ(stats["ar"], nlohmann::json({0, 0}));
    EXPECT_EQ(stats["ver"], nlohmann::json::parse(http_get(port, "/summary"))["version"]);
    // A miner that is gone: nothing, rather than its last rate.
    miner->send_signal(SIGINT);
    EXPECT_EQ(miner->wait(20s).exit_status, 0);
    const support::ProcessResult gone =
        support::run_process("/bin/bash", {"bash", "-c", stats_of}, {"MINER_API_PORT=" + std::to_string(port)}, 10s);
    EXPECT_EQ(gone.out, "0\nnull\n");
    std::remove(sensors.c_str());
    // The unit, where systemd can check it (its binary put where the emulated one is).
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) return;
    std::ifstream in(service + "/corvane-miner.service");
    std::string unit((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unit.replace(unit.find("/opt/corvane/corvane-miner"), 26, CRV_MINER_EMU);
    char dir[] = "/tmp/corvane-unit-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/corvane-miner.service";
    std::ofstream(path) << unit;
    const support::ProcessResult verify = support::run_process("/usr/bin/systemd-analyze", {"systemd-analyze", "verify", path});
    EXPECT_EQ(verify.exit_status, 0) << verify.err;
    EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos);
    EXPECT_NE(unit.find(" --api 127.0.0.1:"), std::string::npos);
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(GuardProcess, TheLogFileGetsEveryLineWithItsTimeAndSighupStartsANewOne)
{
    char dir[] = "/tmp/corvane-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/miner.log";
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("log", "b", support::impossible_threshold()))));
    const auto miner = miner_on(bridge, 2, {"CRV_EMU_MINING=" + FAST}, {"--log-file", path});
    ASSERT_TRUE(miner->wait_for_output("📊 Status: ", 30s)) << miner->out();
    // What logrotate does: the file moved away, then SIGHUP.
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    miner->send_signal(SIGHUP);
    ASSERT_TRUE(miner->wait_for_output("📝 Log file reopened\n", 10s)) << miner->out();
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string old = file_text(path + ".1"), fresh = file_text(path);
    EXPECT_NE(old.find("Z 🌊 Corvane CUDA Miner - GPUs 0, 1 - Bridge "), std::string::npos) << old;
    EXPECT_EQ(old.find("Log file reopened"), std::string::npos) << old;
    EXPECT_NE(fresh.find("Z 📝 Log file reopened\n"), std::string::npos) << fresh;
    EXPECT_NE(fresh.find("Z Received signal 2. Shutting down gracefully...\n"), std::string::npos) << fresh;
    // Every console line once, in one of the two files, after its time.
    static const std::regex dated(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .+)");
    const std::vector<std::string> logged = non_empty_lines(old + fresh);
    for (const std::string& line : logged) EXPECT_TRUE(std::regex_match(line, dated)) << line;
    EXPECT_EQ(logged.size(), non_empty_lines(r.out + r.err).size());
    EXPECT_EQ(count_of(r.out, "🌡️ No GPU telemetry (no CRV_EMU_TELEMETRY file): temperatures, power and fans stay empty\n"),
              1u);

    const std::string missing = std::string(dir) + "/no/miner.log";
    const support::ProcessResult refused =
        support::run_process(CRV_MINER_EMU, {"corvane-miner", "--log-file", missing}, {}, 20s);
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "❌ Cannot open the log file " + missing + " (No such file or directory)\n");
    EXPECT_EQ(refused.out, "");
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    rmdir(dir);
}

}  // namespace
