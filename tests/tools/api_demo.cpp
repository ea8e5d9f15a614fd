// A stand-in for the miner behind its HTTP API: two cards whose counts, states and history move
// on every publication, ten seconds of mining time each, so that the dashboard's browser check
// sees its lines grow without waiting. Host builds only.
//   api-demo [--port N] [--publish-ms MS]
// Prints "API at http://127.0.0.1:PORT/" once it listens; serves until SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "api/api_server.h"
#include "miner/miner_snapshot.h"
#include "miner/rate_history.h"

namespace {

double unix_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct DemoCard {
    CardSnapshot card;
    RateHistory history;
    double rate;  // candidates/s around which it moves
    double total = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    ApiSettings settings;
    settings.port = 0;
    int publish_ms = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--port") settings.port = std::stoi(argv[i + 1]);
        if (option == "--publish-ms") publish_ms = std::stoi(argv[i + 1]);
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before the server's thread inherits the mask

    SnapshotBoard board;
    ApiServer server(settings, board);
    const std::string error = server.start();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("API at http://127.0.0.1:%d/\n", server.port());
    std::fflush(stdout);

    std::vector<DemoCard> cards(2);
    cards[0].card = {0, "Emulated card 0", "0000:01:00.0", CardState::mining, "stored", 0, {}, 3.2, {}, {}, {}};
    cards[0].card.telemetry.core_temperature_c = 61;
    cards[0].rate = 21e6;
    // A name with markup in it: the page must show it as text.
    cards[1].card = {1, "Emulated <b>card</b> 1 & \"co\"", "0000:02:00.0", CardState::building, "", 0, {}, {}, {}, {}, {}};
    cards[1].rate = 9.5e6;

    MinerSnapshot snapshot;
    snapshot.version = "demo";
    snapshot.started_at = std::floor(unix_now());
    snapshot.bridge = {"127.0.0.1:5002", true, 0};
    // Half an hour of mining time before the first publication, one sample a second.
    RateHistory::Clock::time_point mined{};
    auto mine = [&](int seconds) {
        for (int s = 0; s < seconds; ++s) {
            mined += std::chrono::seconds(1);
            const double t = std::chrono::duration<double>(mined.time_since_epoch()).count();
            for (DemoCard& c : cards) {
                if (c.card.state == CardState::mining) c.total += c.rate * (1 + 0.1 * std::sin(t / 240 + c.card.index));
                c.history.add(mined, static_cast<std::uint64_t>(c.total));
            }
        }
    };
    mine(1800);
    siginfo_t info;
    const timespec period = {publish_ms / 1000, (publish_ms % 1000) * 1000000L};
    for (unsigned n = 0;; ++n) {
        mine(10);
        if (n == 2) {
            cards[1].card.state = CardState::mining;
            cards[1].card.leaf_mode = "computed";
            cards[1].card.last_build_s = 4.75;
        }
        if (n % 7 == 6) ++cards[0].card.solutions.found, ++cards[0].card.solutions.submitted;
        if (n % 11 == 10) ++cards[1].card.solutions.failed_verification;
        if (n % 10 == 0) snapshot.puzzle = PuzzleSnapshot{"0000" + std::to_string(1000 + n / 10), "89abcdef01234567", std::floor(unix_now())};
        if (n % 20 == 19) ++snapshot.bridge.reconnects;
        snapshot.verdicts = {cards[0].card.solutions.submitted, cards[0].card.solutions.submitted, 0};
        snapshot.cards.clear();
        for (DemoCard& c : cards) {
            c.card.candidates = static_cast<std::uint64_t>(c.total);
            c.card.rates = c.history.rates();
            c.card.history = c.history.history();
            snapshot.cards.push_back(c.card);
        }
        snapshot.taken_at = unix_now();
        board.publish(snapshot);
        if (sigtimedwait(&stop_signals, &info, &period) > 0) break;
    }
    server.stop();
    return 0;
}
