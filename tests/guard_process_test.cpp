// What guards the cards, through the emulated executable: the watchdog of a card that hangs, the
// log file.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/mining_fixture.h"
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
