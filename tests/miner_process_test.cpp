// The application: its command line, the event queue and the session the search reads it through,
// and the whole program through the emulated executable against a test bridge (the controller's
// reactions to the bridge, signals, exit statuses).
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cli/options.h"
#include "cli/startup.h"
#include "gpu/runtime.h"
#include "miner/event_handler.h"
#include "miner/miner_state.h"
#include "miner/mining_status.h"
#include "support/captured_output.h"
#include "support/child_process.h"
#include "support/mining_fixture.h"
#include "support/test_bridge.h"

namespace {

using namespace std::chrono_literals;
using support::count_of;
using support::easy_threshold;
using support::in_order;
using support::test_puzzle;
using support::TestBridge;
using Clock = std::chrono::steady_clock;

const std::string MINER = CRV_MINER_EMU;
// The emulated executable's own input: a tree of height 5, ranges of 256 in batches of 128.
const std::string SMALL = "tree_height=5 range=256 batch=128 range_pause_ms=1";
const std::string FAST = SMALL + " fetch_pause_ms=20 receive_timeout_ms=2000 status_ms=100";

std::unique_ptr<support::ChildProcess> miner_on(const TestBridge& bridge, const std::string& mining,
                                                const std::string& nonce_offset = "0", const std::string& faults = "",
                                                bool debug = true)
{
    return std::make_unique<support::ChildProcess>(
        MINER,
        std::vector<std::string>{"corvane-miner", "--port", std::to_string(bridge.port()), "--nonce-offset",
                                 nonce_offset},
        std::vector<std::string>{"CRV_EMU_MINING=" + mining, "CRV_EMU_DEVICE_COUNT=1",
                                 debug ? "CRV_DEBUG=1" : "CRV_DEBUG", "CRV_EMU_FAULT=" + faults});
}

std::string reply(const PowPuzzle& puzzle) { return support::puzzle_reply(puzzle) + "\n"; }

TEST(OptionScan, OneLeftToRightPassEndsInOneAction)
{
    using A = StartupAction;
    const long long none = -2;  // --nonce-offset not given
    const std::string past_p = " (its nonces would reach the field modulus p; the largest range index is 184467440693)";
    struct Row {
        std::vector<std::string> words;
        A action;
        std::string host;  // or the error line
        int port, gpu;
        long long offset;
        std::string bench = "20 s, fast, auto";
        std::string gpus = "";  // the cards listed, when not `gpu` alone
    };
    const std::vector<Row> cases = {
        // words, action, host, port, gpu, nonce offset, bench; every error line is one line with status 1
        {{"-h", "--verbose", "--port=6000", "stray", "--HELP"}, A::Mine, "127.0.0.1", 5002, 0, none},
        {{"--host", "10.0.0.6", "--host", "10.0.0.7", "--port", "6001", "--gpu", "1", "--gpu", "0",
          "--nonce-offset", "9"},
         A::Mine,
         "10.0.0.7",
         6001,
         0,
         9},
        {{"--host", "--port", "6000"}, A::Mine, "--port", 5002, 0, none},  // 6000 is a stray value
        {{"--port", "65535", "--port", " 6000x", "--gpu", " +1.9", "--nonce-offset"},
         A::Mine,
         "127.0.0.1",
         6000,
         1,
         none},
        {{"--nonce-offset", "0x10"}, A::Mine, "127.0.0.1", 5002, 0, 16},
        {{"--nonce-offset", " 09"}, A::Mine, "127.0.0.1", 5002, 0, 0},  // octal stops at the 9
        {{"--nonce-offset", "184467440693"}, A::Mine, "127.0.0.1", 5002, 0, 184467440693},  // ends below p
        {{"--nonce-offset", "-1"}, A::Fail, "Invalid --nonce-offset value: -1" + past_p, 0, 0, none},  // 2^64 - 1
        {{"--nonce-offset", "184467440694"}, A::Fail, "Invalid --nonce-offset value: 184467440694" + past_p, 0, 0,
         none},
        {{"--help", "--gpu", "-1"}, A::ShowHelp, "127.0.0.1", 5002, 0, none},
        {{"--test", "--gpu", "1", "--port", "x"}, A::RunTest, "127.0.0.1", 5002, 0, none},
        {{"--gpu", "1", "--test", "--help"}, A::RunTest, "127.0.0.1", 5002, 1, none},
        {{"--gpu", "2147483648"}, A::Fail, "Invalid --gpu value: 2147483648 (stoi)", 0, 0, none},
        {{"--gpu", "-02.5", "--help"}, A::Fail, "Invalid --gpu value: -2 (must be >= 0)", 0, 0, none},
        {{"--nonce-offset", "18446744073709551616"},
         A::Fail,
         "Invalid --nonce-offset value: 18446744073709551616 (stoull)",
         0,
         0,
         none},
        {{"--nonce-offset", "q", "--test"}, A::Fail, "Invalid --nonce-offset value: q (stoull)", 0, 0, none},
        {{"--port", "", "--gpu", "-1"}, A::Fail, "Invalid --port value:  (stoi)", 0, 0, none},
        {{"--port", "65536"}, A::Fail, "Invalid --port value: 65536 (out of range)", 0, 0, none},
        {{"--kernel", "reference", "--bench", "--gpu", "1", "--seconds", " 7x", "--leaves", "computed", "--leaves",
          "stored", "--seconds"},
         A::Bench, "127.0.0.1", 5002, 1, none, "7 s, reference, stored"},
        {{"--bench", "--test"}, A::RunTest, "127.0.0.1", 5002, 0, none},
        {{"--seconds", "0", "--bench"}, A::Fail, "Invalid --seconds value: 0 (must be >= 1)", 0, 0, none},
        {{"--bench", "--seconds", "x"}, A::Fail, "Invalid --seconds value: x (stoi)", 0, 0, none},
        {{"--bench", "--kernel", "Fast"}, A::Fail, "Invalid --kernel value: Fast (fast, compact, previous or reference)", 0, 0, none},
        {{"--leaves", "all"}, A::Fail, "Invalid --leaves value: all (auto, stored, computed, partial or partial:F with 0 < F < 1)", 0, 0, none},
        {{"--leaves", "partial:1"}, A::Fail, "Invalid --leaves value: partial:1 (auto, stored, computed, partial or partial:F with 0 < F < 1)", 0, 0, none},
        {{"--bench", "--leaves", "partial:0.25"}, A::Bench, "127.0.0.1", 5002, 0, none, "20 s, fast, partial 0.25"},
        {{"--gpu", "3, 0,+2", "--test"}, A::RunTest, "127.0.0.1", 5002, 3, none, "20 s, fast, auto", "3,0,2"},
        {{"--gpu", "all", "--gpu", "1,0"}, A::Mine, "127.0.0.1", 5002, 1, none, "20 s, fast, auto", "1,0"},
        {{"--gpu", "2,1", "--bench", "--gpu", "all"}, A::Bench, "127.0.0.1", 5002, 0, none, "20 s, fast, auto", "all"},
        {{"--gpu", "all,1"}, A::Fail, "Invalid --gpu value: all,1 (stoi)", 0, 0, none},
        {{"--gpu", "0,x"}, A::Fail, "Invalid --gpu value: 0,x (stoi)", 0, 0, none},
        {{"--gpu", "0,2147483648"}, A::Fail, "Invalid --gpu value: 0,2147483648 (stoi)", 0, 0, none},
        {{"--gpu", "0,-1", "--help"}, A::Fail, "Invalid --gpu value: 0,-1 (must be >= 0)", 0, 0, none},
        {{"--gpu", "0,1.2"}, A::Fail, "Invalid --gpu value: 0,1.2 (1.2 is not a device index)", 0, 0, none},
        {{"--gpu", "2,0,2"}, A::Fail, "Invalid --gpu value: 2,0,2 (GPU 2 is listed twice)", 0, 0, none},
        {{"--gpu", "0,,1"}, A::Fail, "Invalid --gpu value: 0,,1 (an empty entry)", 0, 0, none},
        {{"--gpu", "1,"}, A::Fail, "Invalid --gpu value: 1, (an empty entry)", 0, 0, none}};
    const char* const leaves[] = {"auto", "stored", "computed", "partial"};
    for (const auto& [words, action, host, port, gpu, offset, bench, gpus] : cases) {
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
        std::string listed = r.settings.all_gpus ? "all" : "";
        for (int card : r.settings.gpus) listed += (listed.empty() ? "" : ",") + std::to_string(card);
        EXPECT_EQ(listed, gpus.empty() ? std::to_string(gpu) : gpus) << trace;
        EXPECT_EQ(r.settings.nonce_offset_given ? static_cast<long long>(r.settings.nonce_offset) : none, offset)
            << trace;
        EXPECT_EQ(std::to_string(r.settings.bench_seconds) + " s, " +
                      (r.settings.bench_kernel == MiningKernel::fast ? "fast, " : "reference, ") +
                      leaves[static_cast<int>(r.settings.bench_leaves)] +
                      (r.settings.bench_stored_share > 0 ? " " + testing::PrintToString(r.settings.bench_stored_share) : ""),
                  bench)
            << trace;
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
              "  --gpu ID[,ID...]   Select GPU device IDs (0, 1, 2, ... or all; default: 0)\n"
              "  --help             Show this help message\n"
              "\n"
              "This miner connects directly to the Corvane miner bridge.\n"
              "Make sure the miner bridge is running with:\n"
              "  cd corvane-core && cargo run --bin miner-bridge -- --once=false --print-json --auto-start-mining\n"
              "\n"
              "Bench (no bridge): a synthetic puzzle's buffer is built, then mined and every hit checked:\n"
              "  --bench            Build, mine for a while, report build time and rates\n"
              "  --seconds N        Mining time of the bench (default: 20)\n"
              "  --kernel K         Kernel of the bench: fast, compact, previous or reference (default: fast)\n"
              "  --leaves L         Leaves of the bench: auto, stored, computed, partial or partial:F (default: auto)\n"
              "\n"
              "HTTP API while mining (JSON /summary, Prometheus /metrics, /health, dashboard /):\n"
              "  --api HOST:PORT    Listen there (default: 127.0.0.1:5003), or off\n"
              "  --api-token TOKEN  Every request needs Authorization: Bearer TOKEN (a must beyond loopback)\n"
              "\n"
              "Guarding the cards:\n"
              "  --log-file PATH    Append every line there too, with its time; SIGHUP reopens it\n"
              "  --temp-limit C     Pause a card whose core or memory reaches C °C, resume it 10 °C below\n");
}

TEST(NormalStart, MinesOnTheListedCardsAndAnEscapedErrorEndsWithStatusOne)
{
    emu::Config two;
    two.device_count = 2;
    emu::configure(two);
    StartupSettings settings;
    settings.gpus = {1};
    std::function<bool()> mining = [] { return true; };
    std::vector<int> cards;  // what mining is given: a single card is a rig of one
    auto start = [&] {
        return startMiningOnDevice(settings, [&](const std::string&, int, const std::vector<int>& gpus) {
            cards = gpus;
            return mining();
        });
    };
    EXPECT_EQ(support::capture_output([&] { EXPECT_EQ(start(), 0); }).out,
              "🌊 Corvane CUDA Miner - GPU 1 - Bridge 127.0.0.1:5002\n");
    EXPECT_EQ(cards, settings.gpus);
    settings.gpus = {1, 0};
    EXPECT_EQ(support::capture_output([&] { EXPECT_EQ(start(), 0); }).out,
              "🌊 Corvane CUDA Miner - GPUs 1, 0 - Bridge 127.0.0.1:5002\n");
    EXPECT_EQ(cards, settings.gpus);
    mining = []() -> bool { throw std::runtime_error("bridge went away"); };
    EXPECT_EQ(support::capture_output([&] { EXPECT_EQ(start(), 1); }).err, "Error: bridge went away\n");
}

TEST(EventHandler, AnEmptyQueueTimesOutAndAPostWakesTheWaiter)
{
    EXPECT_EQ(MiningEvent().type, EventType::ERROR);  // an untouched slot is never work
    EventHandler events;
    MiningEvent out(EventType::STOP_MINING, "keep", "");
    const auto waited = Clock::now();
    EXPECT_FALSE(events.waitForEvent(out, 100ms));  // an empty queue times out and leaves `out` alone
    EXPECT_GE(Clock::now() - waited, 100ms);
    EXPECT_EQ(out.puzzle_id, "keep");
    std::thread poster([&] { events.postEvent(MiningEvent(EventType::NEW_PUZZLE, "0", "a")); });
    const auto start = Clock::now();
    EXPECT_TRUE(events.waitForEvent(out, 30s));
    EXPECT_LT(Clock::now() - start, 10s);  // woken, not timed out
    EXPECT_EQ(out.data, "a");
    poster.join();
}

TEST(EventQueue, TheNewestWorkQueuedWinsAndAStopWinsOverAll)
{
    auto puzzle = [](const std::string& id) { return MiningEvent(EventType::NEW_PUZZLE, id, "{}"); };
    const MiningEvent stop(EventType::STOP_MINING, "", "Signal 2"), error(EventType::ERROR, "", "later");
    struct Row {
        std::vector<MiningEvent> queued;  // behind a NEW_PUZZLE "p1"
        std::string taken;
    };
    const std::vector<Row> cases = {
        {{}, "p1"},
        {{error, MiningEvent(EventType::SOLUTION_FOUND, "p", "Nonce: 1")}, "p1"},
        {{puzzle("p2"), error, puzzle("p3")}, "p3"},
        {{puzzle("p2"), stop, puzzle("p3")}, "Signal 2"}};
    EventHandler events;
    for (const auto& [queued, taken] : cases) {
        for (const MiningEvent& event : queued) events.postEvent(event);
        const MiningEvent newest = newest_work(events, puzzle("p1"));
        EXPECT_EQ(newest.type == EventType::STOP_MINING ? newest.data : newest.puzzle_id, taken);
        MiningEvent left;
        EXPECT_FALSE(events.waitForEvent(left, 0ms));  // everything queued was taken
    }
}

TEST(MiningStatus, TheLineAndTheSnapshotSayWhereEachCardStands)
{
    const MiningStatus::Clock::time_point t0{1h};
    MinerState state;
    state.total_solutions_found = 3;
    state.total_solutions_submitted = 2;
    state.total_solutions_failed_verification = 1;
    MiningStatus status(state, t0);
    CardSnapshot first, second;
    first.index = 0, second.index = 2;
    status.set_cards({first, second});
    const std::string solutions = " candidates, solutions 3 found / 2 submitted / 1 failed verification, ";
    EXPECT_EQ(status.summary(t0), "0.00 M nonces/s on 0 of 2 GPUs (GPU 0: 0.00, GPU 2: 0.00), 0" + solutions +
                                      "no puzzle yet, bridge disconnected, up 00:00:00");
    status.set_card(0, CardState::mining);
    status.set_card(1, CardState::out);
    status.count_candidates(0, 30000000);
    status.sample(t0 + 10s);
    status.count_candidates(0, 30000000);
    status.count_hit(0, MiningStatus::Hit::found);
    status.count_hit(0, MiningStatus::Hit::submitted);
    status.set_puzzle("0123456789abcdef-and-more", "fedcba9876543210-and-more");
    state.bridge_connected = true;
    status.sample(t0 + 30s);
    EXPECT_EQ(status.summary(t0 + 30s), "2.00 M nonces/s on 1 of 2 GPUs (GPU 0: 2.00, GPU 2: out), 60000000" + solutions +
                                            "puzzle 0123456789abcdef... on block fedcba9876543210..., bridge connected, up 00:00:30");
    const MinerSnapshot s = status.snapshot();
    ASSERT_EQ(s.cards.size(), 2u);
    EXPECT_EQ(s.cards[0].rates.last_10s, 1.5e6);  // the second 30 M spread over its 20 s
    EXPECT_EQ(s.cards[0].history, (std::vector<double>{3e6, 1.5e6, 1.5e6}));
    EXPECT_EQ(s.solutions().found + s.solutions().submitted, 2u);
    EXPECT_EQ(s.cards[1].state, CardState::out);
    EXPECT_TRUE(s.puzzle && s.puzzle->short_id == "0123456789abcdef" && s.bridge.connected);
    status.sample(t0 + 3725s);  // an hour without a batch
    const std::string later = status.summary(t0 + 3725s);
    EXPECT_EQ(later.substr(0, 15) + later.substr(later.rfind(',')), "0.00 M nonces/s, up 01:02:05");
}

TEST(MinerProcess, StartUpEndsWithItsStatus)
{
    const std::string where = "127.0.0.1:" + std::to_string(support::closed_port());
    struct Row {
        std::vector<std::string> args;
        int devices, status;
        std::string err;
        std::string emulator = "";  // more of the emulated executable's environment
    };
    const std::vector<Row> cases = {
        // args, devices, status, err
        // A driver older than the runtime: the cards are there, but cannot be counted.
        {{}, 2, 1,
         "❌ Error: the CUDA devices cannot be used: CUDA driver version is insufficient for CUDA runtime version (the "
         "installed driver supports CUDA 12.4; this miner needs a driver for CUDA 13.0 or later)\n",
         "CRV_EMU_DRIVER_VERSION=12040"},
        {{"--gpu", "all"}, 2, 1,
         "❌ GPU 0 (Corvane Emulated GPU, compute capability 7.5) is left out: this miner needs compute capability 8.0 "
         "or later\n❌ GPU 1 (Corvane Emulated GPU, compute capability 6.1) is left out: this miner needs compute "
         "capability 8.0 or later\n",
         "CRV_EMU_DEVICE_CC=7.5,6.1"},
        {{"--help", "--gpu", "-1"}, 0, 0, ""},  // no device: any device check would show
        {{"--gpu", "-1", "--help"}, 0, 1, "Invalid --gpu value: -1 (must be >= 0)\n"},
        {{}, 0, 1, "❌ Error: No CUDA devices found!\n"},
        {{"--gpu", "2"}, 2, 1, "❌ Error: GPU 2 not found!\n   Available GPUs: 0 to 1\n"},
        {{"--bench", "--gpu", "1"}, 1, 1, "❌ Error: GPU 1 not found!\n   Available GPUs: 0 to 0\n"},
        {{"--gpu", "1", "--test"}, 1, 255, "❌ Error: GPU 1 not found!\n   Available GPUs: 0 to 0\n"},
        {{"--gpu", "1,0,3,2"}, 2, 1, "❌ Error: GPU 3 not found!\n   Available GPUs: 0 to 1\n"},  // the first missing
        {{"--bench", "--gpu", "0,2"}, 2, 1, "❌ Error: GPU 2 not found!\n   Available GPUs: 0 to 1\n"},
        {{"--gpu", "all"}, 0, 1, "❌ Error: No CUDA devices found!\n"},
        {{"--gpu", "all", "--bench"}, 0, 1, "❌ Error: No CUDA devices found!\n"},
        {{"--host", "localhost"}, 1, 1,
         "❌ Invalid address: localhost\nFailed to connect to miner bridge at localhost:5002\n"},
        {{"--port", where.substr(10), "--gpu", "1.9", "--port=6000"}, 2, 1,
         "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " + where + "\n"}};
    support::ProcessResult r;
    for (const auto& [args, devices, status, err, emulator] : cases) {
        std::vector<std::string> argv = {"corvane-miner"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> environment = {"CRV_DEBUG", "CRV_EMU_DEVICE_COUNT=" + std::to_string(devices),
                                                "CRV_EMU_MINING=start_window_ms=0", "CRV_EMU_FAULT"};
        std::istringstream more(emulator);
        for (std::string item; more >> item;) environment.push_back(item);
        r = support::run_process(MINER, argv, environment, 30s);
        EXPECT_EQ(r.exit_status, status) << err;
        EXPECT_EQ(r.err, err);
        if (status == 0) {
            EXPECT_EQ(r.out, helpText("corvane-miner"));
        }
    }
    EXPECT_TRUE(in_order(r.out, {"🌊 Corvane CUDA Miner - GPU 1 - Bridge " + where + "\n", "Cleaning up GPU memory"}));
}

TEST(MinerProcess, MinesAPuzzleOnceAndShutsDownInOrder)
{
    const PowPuzzle bad = test_puzzle("refused", "block-0", easy_threshold().substr(1) + "z");
    // Seed 751 gives a root whose first byte is 0, which the short hex form would drop.
    const PowPuzzle puzzle = test_puzzle("first-puzzle-0123456789abcdef", "block-1", easy_threshold(), 751);
    TestBridge bridge([&](size_t n) { return reply(n < 3 ? bad : puzzle); });
    const auto miner = miner_on(bridge, FAST, "0x10");
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << miner->out() << miner->err();
    EXPECT_EQ(support::check_submission(line, puzzle, 5) / 256, 16u);  // the first batch of range 16
    const size_t polls = bridge.wait_for_lines("\"RequestPuzzle\"", 0, 0ms).size();
    bridge.wait_for_lines("\"RequestPuzzle\"", polls + 4, 10s);  // the same id again: nothing new
    EXPECT_TRUE(miner->wait_for_output("📊 Status: ", 10s));
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);
    EXPECT_EQ(r.err, "Error: puzzle refused... refused: threshold is not hexadecimal\n");  // once
    for (const char *once :
         {"🔄 New puzzle detected from bridge! ID: first-puzzle-012...\n", "🔄 New puzzle: first-puzzle-012...\n",
          "🔄 New puzzle detected, resetting nonce offset to: 16\n", "=== STARTING GPU PREPROCESSING ===",
          "✅ Solution sent to miner bridge\n", "🎉 Solution found for puzzle! Continuing to mine for more solutions...\n"})
        EXPECT_EQ(count_of(r.out, once), 1u) << once << r.out;
    // The card's thread sleeps while it waits for the GPU.
    EXPECT_TRUE(in_order(r.out, {"[DBG] GPU 0: the host waits for it blocking, without spinning\n",
                                 "Occupancy: blocks/SM=12, active warps/SM=48/48 (100.0%)\n",
                                 "Max nonces: 256, Batch size: 128\n",
                                 "Nonce offset (range index): 16, computed start nonce: 4096\n"}));
    // The stop: the handler's lines, the loop takes the event, the fetcher ends, then the teardown.
    EXPECT_TRUE(in_order(r.out, {"\nReceived signal 2. Shutting down gracefully...\n",
                                 "\n=== MINING SESSION COMPLETED ===\n", "Total solutions found: 1\n"}));
    EXPECT_TRUE(in_order(r.out, {"Received signal 2", "🛑 Stop mining event received\n",
                                 "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory...\n"}));
    EXPECT_TRUE(in_order(r.out, {"Received signal 2", "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected"}));
    EXPECT_TRUE(in_order(r.out, {"📊 Final status: ", " M nonces/s, ", " candidates, solutions 1 found / 1 submitted / 0 "
                                 "failed verification, puzzle first-puzzle-012... on block block-1..., bridge ",
                                 "📡 Disconnected"}));
}

TEST(MinerProcess, TheNonceRangeGoesOnOnTheSameBlockAndRestartsOnANewOne)
{
    // Each puzzle is announced once the one before was solved: b on a's block goes on from a's
    // range; c on a new block starts again at the command line's range, and d, on another block,
    // interrupts its search and starts there again too.
    const PowPuzzle a = test_puzzle("puzzle-a", "block-1", easy_threshold(), 1);
    const PowPuzzle b = test_puzzle("puzzle-b", "block-1", easy_threshold(), 2);
    const PowPuzzle c = test_puzzle("puzzle-c", "block-2", support::impossible_threshold(), 3);
    const PowPuzzle d = test_puzzle("puzzle-d", "block-3", easy_threshold(), 4);
    std::atomic<int> stage{0};
    std::atomic<bool> c_served{false};
    TestBridge bridge([&](size_t) {
        return reply(stage == 0 ? a : stage == 1 ? b : !c_served.exchange(true) ? c : d);
    });
    const auto miner = miner_on(bridge, FAST, "4");
    std::vector<std::string> solutions;
    for (int solved = 1; solved <= 3; stage = solved++)
        solutions = bridge.wait_for_lines("\"SubmitSolution\"", solved, 20s);
    miner->send_signal(SIGINT);
    const std::string out = miner->wait(20s).out;
    ASSERT_EQ(solutions.size(), 3u) << out;
    EXPECT_EQ(support::check_submission(solutions[0], a, 5) / 256, 4u);
    EXPECT_EQ(support::check_submission(solutions[1], b, 5) / 256, 5u);
    EXPECT_EQ(support::check_submission(solutions[2], d, 5) / 256, 4u);
    EXPECT_EQ(count_of(out, "🔄 New puzzle detected, resetting nonce offset to: 4\n"), 3u) << out;  // a, c, d
    EXPECT_TRUE(in_order(out, {"🔄 New puzzle: puzzle-c...\n", "\n🔄 New puzzle detected during mining, switching...\n",
                               "🔄 Mining interrupted, continuing in main loop...\n", "🔄 New puzzle: puzzle-d...\n"}));
}

TEST(MinerProcess, TheNewestPuzzleOfABlockIsMinedAndSolvedOnce)
{
    // Six ids on one block, a new one every other poll, with the same paths; only the last can be
    // solved. Each range would take hours here: the miner must switch at a batch boundary, keep
    // the buffer, and submit under the id of the puzzle it mined.
    std::vector<PowPuzzle> puzzles;
    for (int i = 0; i < 6; ++i)
        puzzles.push_back(test_puzzle("newest-" + std::to_string(i), "block-1",
                                      i < 5 ? support::impossible_threshold() : easy_threshold(), 7));
    TestBridge bridge([&](size_t n) { return reply(puzzles[std::min<size_t>(n / 2, 5)]); });
    const auto miner = miner_on(bridge, "tree_height=5 range=100000000 batch=128 fetch_pause_ms=20");
    const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
    ASSERT_FALSE(line.empty()) << miner->out();
    support::check_submission(line, puzzles[5], 5);
    const size_t polls = bridge.wait_for_lines("\"RequestPuzzle\"", 0, 0ms).size();
    bridge.wait_for_lines("\"RequestPuzzle\"", polls + 4, 10s);
    miner->send_signal(SIGINT);
    const std::string out = miner->wait(20s).out;
    EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);  // one solution per puzzle
    EXPECT_EQ(count_of(out, "=== STARTING GPU PREPROCESSING ==="), 1u) << out;
    EXPECT_EQ(count_of(out, "🔄 New puzzle detected, resetting nonce offset to: 0\n"), 1u);
}

TEST(MinerProcess, ACardThatCannotGoOnEndsTheProcessWithItsOwnStatusAfterTheShutdown)
{
    // A lost context while a mining kernel runs, or while the buffer is built; a launch failure
    // that does not lose the context but comes back from the 30th launch on.
    const std::string lost = "an illegal memory access was encountered", stop = "stopping with exit status 3 "
                                                                             "so that the miner can be restarted\n";
    for (const auto& [faults, label, why] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"kernel:20:700", "sync parallel_mining_kernel] " + lost,
              "The GPU's context is lost (" + lost + "): nothing more can run on it in this process; "},
             {"kernel:1:700", "sync window chunk] " + lost,
              "The GPU's context is lost (" + lost + "): nothing more can run on it in this process; "},
             {"launch:30+:999", "launch parallel_mining_kernel] unknown error",
              "The GPU failed 3 times in a row (unknown error, at launch parallel_mining_kernel): no GPU is left to "
              "mine; "}}) {
        TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("lost", "b", support::impossible_threshold()))));
        const support::ProcessResult r = miner_on(bridge, FAST, "0", faults)->wait(30s);
        EXPECT_EQ(r.exit_status, 3) << r.err;
        EXPECT_TRUE(in_order(r.err, {"[ERR][" + label + "\n", "❌ " + why + stop})) << r.err;
        EXPECT_TRUE(in_order(r.out, {"📊 Final status: ", "📡 Disconnected from miner bridge\n", "Cleaning up GPU memory"}));
    }
}

TEST(MinerProcess, AHitFailingTheHostCheckIsCountedNeverSubmittedAndMiningGoesOn)
{
    // Every path copied back arrives with a bit flipped, as from a failing card.
    TestBridge bridge(TestBridge::always(support::puzzle_reply(test_puzzle("checked", "b", easy_threshold()))));
    const auto miner = miner_on(bridge, FAST, "0", "corrupt:1000");
    ASSERT_TRUE(miner->wait_for_output("Nonce offset (range index): 3,", 30s)) << miner->out() << miner->err();
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_GE(count_of(r.err, " failed verification (path_a does not lead to the root): not submitted\n"), 2u) << r.err;
    EXPECT_TRUE(bridge.wait_for_lines("\"SubmitSolution\"", 1, 0ms).empty());
    EXPECT_TRUE(in_order(r.out, {"📊 Final status: ", " candidates, solutions 0 found / 0 submitted / "}));
}

TEST(MinerProcess, ABufferThatDoesNotFitIsNotBuiltAndTheNextPuzzleTriesAgain)
{
    // A margin larger than the emulated GPU's memory: no buffer can fit. The miner says so without
    // a build attempt, keeps polling, and tries again for the next puzzle.
    const PowPuzzle first = test_puzzle("no-fit-1", "block-1", easy_threshold(), 1);
    const PowPuzzle second = test_puzzle("no-fit-2", "block-1", easy_threshold(), 2);
    std::atomic<bool> next{false};
    TestBridge bridge([&](size_t) { return reply(next ? second : first); });
    const auto miner = miner_on(bridge, FAST + " margin_mb=2048");
    ASSERT_TRUE(miner->wait_for_output("); not building: ", 20s, true)) << miner->err();
    next = true;
    ASSERT_TRUE(miner->wait_for_output("🔄 New puzzle: no-fit-2...", 20s)) << miner->out();
    miner->send_signal(SIGINT);  // the attempt under way ends before the loop takes the stop
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(count_of(r.err, "Error: GPU 0 (Corvane Emulated GPU) has "), 2u) << r.err;
    EXPECT_EQ(count_of(r.err, "[ERR]"), 0u) << r.err;  // nothing was allocated or launched
    EXPECT_TRUE(bridge.wait_for_lines("\"SubmitSolution\"", 1, 0ms).empty());
}

TEST(MinerProcess, WithTheProductWaitsEveryLineIsTakenAndAStopIsPrompt)
{
    // An answer to something else, then the puzzle, in one segment: left in the buffer, the puzzle
    // would wait for the next cycle, 5 s later. A stop must not wait for the 5 s pause, nor for a
    // 10 s receive from a bridge that never answers.
    const PowPuzzle puzzle = test_puzzle("second-line", "block-1", easy_threshold());
    auto bridge = std::make_unique<TestBridge>(
        TestBridge::always("{\"msg_type\":\"solution_ack\"}\n" + support::puzzle_reply(puzzle)));
    auto miner = miner_on(*bridge, SMALL);
    EXPECT_FALSE(bridge->wait_for_line("\"SubmitSolution\"", 4s).empty()) << miner->out();
    EXPECT_TRUE(miner->wait_for_output("🎉 Solution found for puzzle!", 5s));
    // The next poll's first line answers the solution: logged as its verdict.
    EXPECT_TRUE(miner->wait_for_output(
        "📨 Bridge verdict on the solution for puzzle second-line...: {\"msg_type\":\"solution_ack\"}...\n", 10s));
    for (const bool silent : {false, true}) {
        if (silent) {
            bridge = std::make_unique<TestBridge>();
            miner = miner_on(*bridge, SMALL);
            ASSERT_FALSE(bridge->wait_for_line("\"RequestPuzzle\"", 10s).empty());
        }
        const auto t0 = std::chrono::steady_clock::now();
        miner->send_signal(SIGTERM);
        const support::ProcessResult r = miner->wait(20s);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << silent;
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");  // a woken receive reports nothing
        EXPECT_TRUE(in_order(r.out, {"Received signal 15", "🔄 Bridge puzzle fetcher stopped\n", "📡 Disconnected"}));
    }
}

TEST(MinerProcess, AnUnreachableBridgeIsRetriedForTheStartWindow)
{
    const int port = support::closed_port();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const std::vector<std::string> argv = {"corvane-miner", "--port", std::to_string(port)};
    support::ProcessResult r = support::run_process(
        MINER, argv, {"CRV_EMU_DEVICE_COUNT=1", "CRV_EMU_MINING=start_window_ms=400 backoff_ms=100 backoff_cap_ms=100"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_GE(count_of(r.err, "🔌 Connection attempt "), 2u) << r.err;  // one line per retried attempt
    EXPECT_TRUE(in_order(r.err, {"🔌 Connection attempt 1 to miner bridge at " + where + " failed (Connection refused); next in 0.",
                                 "❌ Failed to connect to bridge at " + where + "\nFailed to connect to miner bridge at " +
                                     where + "\n"}));
    // A bridge that comes up within the window is found.
    support::ChildProcess miner(MINER, argv,
                                {"CRV_EMU_DEVICE_COUNT=1", "CRV_EMU_MINING=start_window_ms=20000 backoff_ms=100 backoff_cap_ms=200"});
    ASSERT_TRUE(miner.wait_for_output("🔌 Connection attempt 2 ", 10s, true)) << miner.err();
    TestBridge bridge(TestBridge::always(support::no_puzzle_reply()), port);
    EXPECT_FALSE(bridge.wait_for_line("\"RequestPuzzle\"", 10s).empty()) << miner.err();
    miner.send_signal(SIGINT);
    r = miner.wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(in_order(r.out, {"✅ Connected to miner bridge at " + where + "\n", "Received signal 2"}));
}

TEST(MinerProcess, MiningGoesOnThroughALostConnectionAndAKeptSolutionIsSentOnlyWhileItsPuzzleIsCurrent)
{
    // The bridge closes the connection right after the puzzle: the hit found meanwhile is kept.
    // After the reconnect the bridge still names that puzzle (the kept solution goes out) or has
    // moved on to another one (it is dropped; the other one is mined and sent).
    const PowPuzzle kept = test_puzzle("kept-puzzle", "block-1", easy_threshold());
    const PowPuzzle later = test_puzzle("later-puzzle", "block-1", easy_threshold(), 9);
    for (const bool moved_on : {false, true}) {
        TestBridge bridge([&](size_t n) {
            return n == 0 ? reply(kept) + TestBridge::CLOSE : reply(moved_on ? later : kept);
        });
        const auto miner = miner_on(bridge, FAST + " backoff_ms=1000 backoff_cap_ms=1000");
        const std::string line = bridge.wait_for_line("\"SubmitSolution\"", 20s);
        ASSERT_FALSE(line.empty()) << miner->out() << miner->err();
        support::check_submission(line, moved_on ? later : kept, 5);
        miner->send_signal(SIGINT);
        const support::ProcessResult r = miner->wait(20s);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(bridge.wait_for_lines("\"SubmitSolution\"", 2, 0ms).size(), 1u);
        // The hit may come before or after the fetcher sees the connection closed.
        for (const char* line : {"❌ Connection closed by bridge; mining goes on, reconnecting to 127.0.0.1:",
                                 "⚠️ Solution for puzzle kept-puzzle... kept: the bridge is not connected"})
            EXPECT_EQ(count_of(r.err, line), 1u) << r.err;
        EXPECT_EQ(count_of(r.err, "⚠️ Dropped a kept solution of puzzle kept-puzzle...: the bridge has moved on to "
                                  "later-puzzle...\n"),
                  moved_on ? 1u : 0u);
        EXPECT_EQ(count_of(r.out, "✅ Connected to miner bridge at "), 2u);
        EXPECT_TRUE(in_order(r.out, {"SOLUTION FOUND", "✅ Connected to miner bridge", "✅ Solution sent to miner bridge\n"}));
        // A dropped solution was found, never submitted.
        EXPECT_TRUE(in_order(r.out, {"📊 Final status: ", moved_on ? ", solutions 2 found / 1 submitted / 0 failed"
                                                                   : ", solutions 1 found / 1 submitted / 0 failed"}))
            << r.out;
    }
}

TEST(MinerProcess, ABlocksLastRangeEndsAtTheLastCounterBelowP)
{
    // Ranges of 256 from the last whole one below p: then the range starting at p - 1 = 2^64 - 2^32
    // holds that one counter, and the next would reach past it.
    TestBridge bridge(
        TestBridge::always(support::puzzle_reply(test_puzzle("last", "b", support::impossible_threshold()))));
    const auto miner = miner_on(bridge, SMALL, "72057594021150719");
    ASSERT_TRUE(miner->wait_for_output("this block's nonces are used up", 20s, true)) << miner->out() << miner->err();
    miner->send_signal(SIGINT);
    const support::ProcessResult r = miner->wait(20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(in_order(r.out, {"computed start nonce: 18446744069414584064\n", "computed start nonce: 18446744069414584320\n",
                                 "No solution found after 256 nonces (", "No solution found after 1 nonces ("}))
        << r.out;
    EXPECT_EQ(r.err, "⚠️ Range 72057594021150721 would reach past the last nonce counter (p - 1): this block's nonces "
                     "are used up; waiting for new work\n");
}

TEST(MinerProcess, ARepeatedReplyIsLoggedOnceUnlessDebugging)
{
    for (const bool debug : {false, true}) {
        TestBridge bridge(TestBridge::always(support::no_puzzle_reply()));
        const auto miner = miner_on(bridge, FAST, "0", "", debug);
        ASSERT_EQ(bridge.wait_for_lines("\"RequestPuzzle\"", 6, 20s).size(), 6u);
        miner->send_signal(SIGINT);
        const support::ProcessResult r = miner->wait(20s);
        EXPECT_EQ(r.err, "");
        for (const char* traffic : {"📤 Sent: {\"RequestPuzzle\":null}...\n", "📥 Raw response: ",
                                    "📥 Message type: error\n", "❌ Bridge error: No puzzle available\n"}) {
            if (debug)
                EXPECT_GE(count_of(r.out, traffic), 5u) << traffic;
            else
                EXPECT_EQ(count_of(r.out, traffic), 1u) << traffic;
        }
    }
}

TEST(MinerProcess, ASecondSignalEndsTheShutdownAtOnce)
{
    // The second signal comes while a batch of 2048 candidates keeps the emulated GPU busy.
    TestBridge bridge(
        TestBridge::always(support::puzzle_reply(test_puzzle("busy", "b", support::impossible_threshold()))));
    const auto miner = miner_on(bridge, "tree_height=4 range=1000000 batch=2048");
    ASSERT_TRUE(miner->wait_for_output("Occupancy: ", 20s)) << miner->out();
    miner->send_signal(SIGINT);
    ASSERT_TRUE(miner->wait_for_output("Received signal 2. Shutting down gracefully...\n", 5s)) << miner->out();
    const auto t0 = std::chrono::steady_clock::now();
    miner->send_signal(SIGTERM);
    EXPECT_EQ(miner->wait(20s).exit_status, 130);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(miner->out().find("No solution found after"), std::string::npos);  // before the batch in flight ended
}

}  // namespace
