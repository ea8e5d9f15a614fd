// The HTTP API: a card's rates from its sampled count, the --api options, the server's routes,
// statuses and token on a hand-made snapshot, its metrics read by Prometheus' own parser, and
// hostile clients that must neither stop it answering nor hold it for long.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "api/api_server.h"
#include "cli/options.h"
#include "miner/rate_history.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RateHistory, RatesAndTheHourOfStepsFollowTheSampledCount)
{
    // (second, total) every `every` seconds from `from` to `to` at `rate` candidates/s after `base`.
    using Samples = std::vector<std::pair<double, std::uint64_t>>;
    auto steady = [](double from, double to, double every, double rate, double base) {
        Samples samples;
        for (double t = from; t <= to; t += every) samples.emplace_back(t, std::uint64_t(base + rate * (t - from)));
        return samples;
    };
    auto join = [](Samples a, const Samples& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
    struct Row {
        const char* what;
        Samples samples;
        CandidateRates rates;
        size_t steps;
        double first, last, lowest;  // of the history
    };
    const std::vector<Row> rows = {
        {"steady for 20 min", steady(0, 1200, 1, 1000, 0), {1000, 1000, 1000}, 120, 1000, 1000, 1000},
        {"twice as fast in the last minute", join(steady(0, 840, 1, 1000, 0), steady(841, 900, 1, 2000, 842000)),
         {2000, 2000, 960000.0 / 900}, 90, 1000, 2000, 1000},
        {"five seconds in: over what there is", steady(0, 5, 1, 500, 0), {500, 500, 500}, 0, 0, 0, 0},
        {"two samples spread over the steps between them", {{0, 0}, {25, 2500}}, {100, 100, 100}, 2, 100, 100, 100},
        {"an hour and a half keeps the last hour", steady(0, 5400, 10, 1000, 0), {1000, 1000, 1000}, 360, 1000, 1000,
         1000},
        {"a count that starts again adds nothing", join(steady(0, 60, 1, 1000, 0), steady(61, 120, 1, 1000, 0)),
         {1000, 59000.0 / 60, 119000.0 / 120}, 12, 1000, 1000, 900},
        {"samples out of order are ignored", {{0, 0}, {10, 10000}, {5, 99999999}, {20, 20000}}, {1000, 1000, 1000}, 2,
         1000, 1000, 1000},
        {"a gap of decades skips to its last hour", {{0, 0}, {1e9, 1000000000000}}, {1000, 1000, 1000}, 360, 1000,
         1000, 1000},
    };
    auto near = [](double a, double b) { return std::abs(a - b) <= 1e-6 * std::max(1.0, std::abs(b)); };
    for (const Row& row : rows) {
        RateHistory history;
        for (const auto& [t, total] : row.samples)
            history.add(RateHistory::Clock::time_point{} + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(t)),
                        total);
        const CandidateRates r = history.rates();
        EXPECT_TRUE(near(r.last_10s, row.rates.last_10s) && near(r.last_60s, row.rates.last_60s) &&
                    near(r.last_15min, row.rates.last_15min))
            << row.what << ": " << r.last_10s << " " << r.last_60s << " " << r.last_15min;
        const std::vector<double> steps = history.history();
        ASSERT_EQ(steps.size(), row.steps) << row.what;
        if (steps.empty()) continue;
        EXPECT_TRUE(near(steps.front(), row.first) && near(steps.back(), row.last) &&
                    near(*std::min_element(steps.begin(), steps.end()), row.lowest))
            << row.what << ": " << steps.front() << " " << steps.back();
    }
}

TEST(ApiOptions, ListenAddressTokenAndTheLoopbackRule)
{
    const std::string beyond = " reaches beyond this machine: give --api-token TOKEN too, or listen on 127.0.0.1";
    struct Row {
        std::vector<std::string> words;
        std::string address;  // "off", HOST:PORT as apiAddressText writes it, or the error line
        std::string token;
    };
    const std::vector<Row> rows = {
        {{}, "127.0.0.1:5003", ""},
        {{"--api"}, "127.0.0.1:5003", ""},  // a value option without its value is ignored
        {{"--api", "off", "--api", "127.0.0.2:6000"}, "127.0.0.2:6000", ""},
        {{"--api", "192.168.1.5:5003", "--api", "off"}, "off", ""},
        {{"--api", "[::1]:7000"}, "[::1]:7000", ""},
        {{"--api", "[::ffff:127.0.0.9]:7000"}, "[::ffff:127.0.0.9]:7000", ""},
        {{"--api-token", "s3cret", "--api", "0.0.0.0:5003"}, "0.0.0.0:5003", "s3cret"},
        {{"--api", "0.0.0.0:5003", "--bench"}, "0.0.0.0:5003", ""},  // the bench serves no API
        {{"--api", "0.0.0.0:5003"}, "--api 0.0.0.0:5003" + beyond, ""},
        {{"--api", "[::]:80", "--gpu", "1"}, "--api [::]:80" + beyond, ""},
        {{"--api", "localhost:5003"},
         "Invalid --api value: localhost:5003 (the host must be a numeric address, an IPv6 one in brackets)", ""},
        {{"--api", "::1:5003"},
         "Invalid --api value: ::1:5003 (the host must be a numeric address, an IPv6 one in brackets)", ""},
        {{"--api", "127.0.0.1:65536"}, "Invalid --api value: 127.0.0.1:65536 (the port must be 0 to 65535)", ""},
        {{"--api", "127.0.0.1:80x"}, "Invalid --api value: 127.0.0.1:80x (the port must be 0 to 65535)", ""},
        {{"--api", "127.0.0.1"}, "Invalid --api value: 127.0.0.1 (HOST:PORT or off)", ""},
        {{"--api-token", "two words"},
         "Invalid --api-token value (one or more visible ASCII characters, no spaces)", ""},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"corvane-miner"};
        args.insert(args.end(), row.words.begin(), row.words.end());
        const OptionScan scan = scanStartupOptions(args);
        const ApiSettings& api = scan.settings.api;
        const std::string trace = testing::PrintToString(row.words);
        if (scan.action == StartupAction::Fail) {
            EXPECT_EQ(scan.error, row.address) << trace;
            EXPECT_EQ(scan.exit_status, 1) << trace;
            continue;
        }
        EXPECT_EQ(api.enabled ? apiAddressText(api.host, api.port) : "off", row.address) << trace;
        EXPECT_EQ(api.token, row.token) << trace;
    }
}

// ---- the server, through plain sockets on loopback

struct Reply {
    int status = 0;  // 0: closed without an answer
    std::string head, body;
};

int connect_to(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "cannot connect";
    return fd;
}

// Everything the server sends until it closes, or until the deadline.
std::string read_to_end(int fd, Clock::time_point deadline)
{
    std::string text;
    char chunk[65536];
    for (pollfd p{fd, POLLIN, 0}; Clock::now() < deadline;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Reply parse_reply(const std::string& text)
{
    Reply reply;
    const size_t end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
    reply.status = std::stoi(text.substr(9, 3));
    reply.head = text.substr(0, end);
    reply.body = text.substr(end + 4);
    return reply;
}

Reply exchange(int port, const std::string& request, std::chrono::milliseconds timeout = 5s)
{
    const int fd = connect_to(port);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const Reply reply = parse_reply(read_to_end(fd, Clock::now() + timeout));
    close(fd);
    return reply;
}

std::string request(const std::string& line, const std::string& headers = "")
{
    return line + " HTTP/1.1\r\nHost: miner\r\nConnection: close\r\n" + headers + "\r\n";
}

MinerSnapshot hand_made()
{
    MinerSnapshot s;
    s.version = "1.2.3 \"rc\"\\";
    s.started_at = 1000;
    s.taken_at = 1100.5;
    s.bridge = {"127.0.0.1:5002", true, 3};
    s.puzzle = PuzzleSnapshot{"0123456789abcdef", "89abcdef01234567", 1050};
    s.verdicts = {5, 3, 1};
    CardSnapshot a{2, "Card A", "0000:01:00.0", CardState::mining, "stored", 123456789012, {4, 3, 1}, 3.25,
                   {1e6, 2e6, 3e6}, {1, 2, 3}, {}};
    a.telemetry.core_temperature_c = 65.5;
    a.telemetry.fan_percent = 40;
    a.telemetry.sm_clock_mhz = 1800;
    const CardSnapshot b{0, "Card B", "0000:02:00.0", CardState::no_buffer, "", 7, {1, 1, 0}, {}, {0.5, 0.5, 0.5},
                         {}, {}};
    s.cards = {a, b};
    return s;
}

TEST(ApiServer, RoutesMethodsAndTokenOnAHandMadeSnapshot)
{
    SnapshotBoard board;
    board.publish(hand_made());
    ApiSettings open_settings;
    open_settings.port = 0;
    ApiSettings guarded_settings = open_settings;
    guarded_settings.token = "s3cret-token";
    ApiServer open(open_settings, board), guarded(guarded_settings, board);
    ASSERT_EQ(open.start(), "");
    ASSERT_EQ(guarded.start(), "");
    ApiSettings taken = open_settings;
    taken.port = open.port();
    EXPECT_NE(ApiServer(taken, board).start().find("Address already in use"), std::string::npos);

    const std::string token = "Authorization: Bearer s3cret-token\r\n";
    struct Row {
        const ApiServer& server;
        std::string request;
        int status;
        std::string shown;  // in the head or body
    };
    const std::vector<Row> rows = {
        {open, request("GET /summary"), 200, "Content-Type: application/json"},
        {open, request("GET /summary?fields=all"), 200, "\"sequence\":1"},
        {open, request("GET /metrics"), 200, "Content-Type: text/plain; version=0.0.4"},
        {open, request("GET /"), 200, "Content-Security-Policy: default-src 'none'"},
        {open, request("GET /health"), 200, "ok"},
        {open, request("POST /summary", "Content-Length: 4\r\n") + "abcd", 405, "Allow: GET, HEAD"},
        {open, request("DELETE /"), 405, "Allow: GET, HEAD"},
        {open, request("GET /nope"), 404, "the routes are"},
        {open, request("GET /summary/"), 404, "not found"},
        {guarded, request("GET /health"), 401, "WWW-Authenticate: Bearer"},
        {guarded, request("GET /summary", "Authorization: Bearer wrong\r\n"), 401, "unauthorized"},
        {guarded, request("GET /summary", "Authorization: Bearer s3cret-tok\r\n"), 401, "unauthorized"},
        {guarded, request("GET /summary", "Authorization: Basic s3cret-token\r\n"), 401, "unauthorized"},
        {guarded, request("POST /summary"), 401, "unauthorized"},  // nothing said before the token
        {guarded, request("GET /summary", token), 200, "\"version\""},
        {guarded, request("GET /summary", "Authorization: bearer s3cret-token\r\n"), 200, "\"version\""},
        {guarded, request("PUT /summary", token), 405, "Allow: GET, HEAD"},
    };
    for (const Row& row : rows) {
        const Reply reply = exchange(row.server.port(), row.request);
        EXPECT_EQ(reply.status, row.status) << row.request;
        EXPECT_NE((reply.head + reply.body).find(row.shown), std::string::npos) << row.request << reply.head;
    }

    // HEAD: GET's header and length, no body.
    const Reply got = exchange(open.port(), request("GET /summary"));
    const Reply head = exchange(open.port(), request("HEAD /summary"));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(got.body.size())), std::string::npos);

    // The summary tells what the snapshot holds, totals summed over the cards.
    const auto json = nlohmann::json::parse(got.body);
    EXPECT_EQ(json["version"], "1.2.3 \"rc\"\\");
    EXPECT_EQ(json["uptime_s"], 100.5);
    EXPECT_EQ(json["bridge"]["reconnects"], 3);
    EXPECT_EQ(json["puzzle"]["short_id"], "0123456789abcdef");
    EXPECT_EQ(json["totals"]["candidates"], 123456789019u);
    EXPECT_EQ(json["totals"]["solutions"], (nlohmann::json{{"found", 5}, {"submitted", 4}, {"failed_verification", 1}}));
    EXPECT_EQ(json["totals"]["verdicts"], (nlohmann::json{{"received", 5}, {"accepted", 3}, {"rejected", 1}}));
    EXPECT_EQ(json["rates"]["60s"], 2e6 + 0.5);
    const auto& gpus = json["gpus"];
    ASSERT_EQ(gpus.size(), 2u);
    EXPECT_EQ(gpus[0]["index"], 2);
    EXPECT_EQ(gpus[0]["history"], (nlohmann::json{1.0, 2.0, 3.0}));
    EXPECT_EQ(gpus[0]["telemetry"]["core_temperature_c"], 65.5);
    EXPECT_TRUE(gpus[0]["telemetry"]["power_w"].is_null());
    EXPECT_EQ(gpus[1]["state"], "no buffer");
    EXPECT_TRUE(gpus[1]["last_build_s"].is_null());

    // /health: 200 only while a card mines or builds, the process goes on and the board is fresh.
    struct Health {
        const char* what;
        std::function<void(MinerSnapshot&)> change;
        int status;
    };
    const std::vector<Health> health = {
        {"a card builds", [](MinerSnapshot& s) { s.cards[0].state = CardState::building; }, 200},
        {"no card works", [](MinerSnapshot& s) { s.cards[0].state = CardState::out; }, 503},
        {"stopping", [](MinerSnapshot& s) { s.stopping = true; }, 503},
        {"no cards", [](MinerSnapshot& s) { s.cards.clear(); }, 503},
    };
    for (const Health& row : health) {
        MinerSnapshot s = hand_made();
        row.change(s);
        board.publish(s);
        EXPECT_EQ(exchange(open.port(), request("GET /health")).status, row.status) << row.what;
    }
    SnapshotBoard never;
    ApiSettings stale = open_settings;
    stale.limits.stale_after = 0ms;
    ApiServer unpublished(open_settings, never), unrefreshed(stale, board);
    board.publish(hand_made());
    ASSERT_EQ(unpublished.start(), "");
    ASSERT_EQ(unrefreshed.start(), "");
    EXPECT_EQ(exchange(unpublished.port(), request("GET /health")).status, 503);
    EXPECT_EQ(exchange(unrefreshed.port(), request("GET /health")).status, 503);
}

TEST(ApiServer, MetricsReadByPrometheusOwnParser)
{
    SnapshotBoard board;
    board.publish(hand_made());
    ApiSettings settings;
    settings.port = 0;
    ApiServer server(settings, board);
    ASSERT_EQ(server.start(), "");
    const std::string path = testing::TempDir() + "api_metrics.txt";
    std::ofstream(path) << exchange(server.port(), request("GET /metrics")).body;
    const support::ProcessResult parsed =
        support::run_process(CRV_SYSTEM_PYTHON, {"python3", CRV_TEST_TOOLS "/parse_metrics.py", path});
    ASSERT_EQ(parsed.exit_status, 0) << parsed.out << parsed.err;

    const std::vector<std::string> expected = {
        "family corvane_candidates counter",
        "sample corvane_candidates_total{gpu=2} 123456789012.0",
        "sample corvane_candidates_total{gpu=0} 7.0",
        "family corvane_solutions counter",
        "sample corvane_solutions_total{gpu=2,result=found} 4.0",
        "sample corvane_solutions_total{gpu=2,result=submitted} 3.0",
        "sample corvane_solutions_total{gpu=2,result=failed_verification} 1.0",
        "sample corvane_solutions_total{gpu=0,result=found} 1.0",
        "family corvane_bridge_reconnects counter",
        "sample corvane_bridge_reconnects_total{} 3.0",
        "family corvane_bridge_verdicts counter",
        "sample corvane_bridge_verdicts_total{result=other} 1.0",
        "family corvane_bridge_connected gauge",
        "sample corvane_bridge_connected{} 1.0",
        "family corvane_gpu_up gauge",
        "sample corvane_gpu_up{gpu=2} 1.0",
        "sample corvane_gpu_up{gpu=0} 0.0",
        "family corvane_buffer_build_seconds gauge",
        "sample corvane_buffer_build_seconds{gpu=2} 3.25",
        "family corvane_build_info gauge",
        "sample corvane_build_info{version=1.2.3 \"rc\"\\} 1.0",
        "family corvane_start_time_seconds gauge",
        "sample corvane_start_time_seconds{} 1000.0",
        "sample corvane_gpu_temperature_celsius{gpu=2,sensor=core} 65.5",
        "sample corvane_gpu_fan_ratio{gpu=2} 0.4",
        "sample corvane_gpu_clock_hertz{clock=sm,gpu=2} 1800000000.0",
    };
    std::istringstream lines(parsed.out);
    std::set<std::string> seen;
    const std::set<std::string> bounded = {"gpu", "result", "sensor", "clock", "version"};
    for (std::string line; std::getline(lines, line);) {
        seen.insert(line);
        const size_t open = line.find('{'), close = line.rfind('}');
        if (line.rfind("sample ", 0) != 0 || close == open + 1) continue;
        std::istringstream labels(line.substr(open + 1, close - open - 1));
        for (std::string label; std::getline(labels, label, ',');)
            EXPECT_TRUE(bounded.count(label.substr(0, label.find('=')))) << line;
    }
    for (const std::string& line : expected) EXPECT_TRUE(seen.count(line)) << line << "\nparsed:\n" << parsed.out;
    EXPECT_EQ(parsed.out.find("corvane_buffer_build_seconds{gpu=0}"), std::string::npos);  // never built: no sample
    EXPECT_EQ(parsed.out.find("power"), std::string::npos);                                // not known: no sample
}

TEST(ApiServer, HostileClientsAreCutOffWhileEveryOtherRequestIsAnswered)
{
    SnapshotBoard board;
    board.publish(hand_made());
    ApiSettings settings;
    settings.port = 0;
    settings.limits.connections = 16;
    settings.limits.request_timeout = 1000ms;
    settings.limits.header_bytes = 4096;
    ApiServer server(settings, board);
    ASSERT_EQ(server.start(), "");
    const int port = server.port();

    // Broken and oversized requests: answered at once, with their status.
    const std::string big(10000, 'a');
    const std::vector<std::pair<std::string, int>> refused = {
        {"GARBAGE\r\n\r\n", 400},
        {"GET /health HTTP/9.1\r\n\r\n", 400},
        {"GET /health HTTP/1.1\r\nno colon here\r\n\r\n", 400},
        {request("GET /health", "X-Big: " + big + "\r\n"), 431},
        {request("GET /health", "X-Big: " + std::string(1 << 20, 'a') + "\r\n"), 431},
        {request("GET /" + big), 431},
    };
    for (const auto& [text, status] : refused) EXPECT_EQ(exchange(port, text, 2s).status, status) << text.substr(0, 40);

    // At the same time: a client sending a byte a second, idle clients, 300 requests at once and
    // a prober that must keep getting its 200 within 2 s.
    auto slow = std::async(std::launch::async, [port] {
        const int fd = connect_to(port);
        const auto start = Clock::now();
        bool cut = false;
        for (const char c : std::string("GET /health HTTP/1.1\r\nHost: miner\r\n\r\n")) {
            if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
            pollfd p{fd, POLLIN, 0};
            char answer;
            if (poll(&p, 1, 1000) > 0) {  // the server spoke before the request was complete
                cut = recv(fd, &answer, 1, 0) <= 0;
                break;
            }
        }
        close(fd);
        return cut ? ms_since(start) : -1LL;
    });
    std::vector<int> idle;
    for (int i = 0; i < 5; ++i) idle.push_back(connect_to(port));
    std::atomic<bool> burst_done{false};
    auto prober = std::async(std::launch::async, [&] {
        int probes = 0;
        long long slowest_ms = 0;
        for (; !burst_done || probes < 3; ++probes) {
            const auto start = Clock::now();
            if (exchange(port, request("GET /health"), 2s).status != 200) return -1LL;
            slowest_ms = std::max(slowest_ms, ms_since(start));
        }
        return slowest_ms;
    });
    std::vector<int> burst;
    for (int i = 0; i < 300; ++i) {
        burst.push_back(connect_to(port));
        const std::string text = request("GET /summary");
        send(burst.back(), text.data(), text.size(), MSG_NOSIGNAL);
    }
    int answered = 0;
    const auto deadline = Clock::now() + 20s;
    for (const int fd : burst) {
        answered += parse_reply(read_to_end(fd, deadline)).status == 200;
        close(fd);
    }
    burst_done = true;
    EXPECT_EQ(answered, 300);
    const long long slowest_probe_ms = prober.get();
    EXPECT_TRUE(slowest_probe_ms >= 0 && slowest_probe_ms < 2000) << slowest_probe_ms;
    // Cut at the request's own deadline, not sooner; the whole request would have taken 38 s.
    const long long slow_cut_ms = slow.get();
    EXPECT_TRUE(slow_cut_ms > 800 && slow_cut_ms < 3000) << slow_cut_ms;
    for (const int fd : idle) {
        EXPECT_EQ(read_to_end(fd, Clock::now() + 3s), "");  // cut, without an answer
        close(fd);
    }

    // The cap: with every connection held by an idle client, the next waits until one is cut.
    std::vector<int> holders;
    for (int i = 0; i < settings.limits.connections; ++i) holders.push_back(connect_to(port));
    const auto start = Clock::now();
    EXPECT_EQ(exchange(port, request("GET /health"), 5s).status, 200);
    EXPECT_GT(ms_since(start), 500);
    for (const int fd : holders) close(fd);
}

}  // namespace
