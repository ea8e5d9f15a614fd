// The steady state of the miner: a fetcher thread that polls the bridge and posts new puzzles, and
// the mining loop on the calling thread that builds each puzzle's guesser buffer and searches it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "miner/bridge_link.h"
#include "miner/mining_event.h"
#include "miner/mining_status.h"
#include "miner/rig.h"
#include "mining/mining_driver.h"
#include "pow/pow.h"

// The product runs with the defaults; tests shrink the tree and the timings.
struct MiningConfig {
    GuesserGeometry geometry;                          // the tree of every puzzle's buffer
    MiningDriverConfig driver;                         // ranges, batches, the driver's waits
    std::chrono::milliseconds loop_event_wait{1000};  // the mining loop's wait per pass
    std::chrono::milliseconds fetch_pause{5000};      // after each fetch cycle; ends early on a stop
    float receive_timeout_s = 10.0f;                   // for the reply to a puzzle request
    std::chrono::milliseconds status_interval{60000};  // between two status lines
    std::chrono::milliseconds rate_window{60000};      // the status line's rate counts this past
    BridgeLinkConfig link;                             // start-up retries, reconnects
    std::vector<int> gpus;                             // the cards mined on; empty: the current device
};

class UnifiedMiningController {
public:
    UnifiedMiningController(const std::string& host, int port, const MiningConfig& config = {});
    ~UnifiedMiningController();

    // Connects (retrying an unreachable bridge for config.link.start_window), runs the fetcher
    // thread and the mining loop until a stop, then shuts down in order: fetcher joined, client
    // disconnected and destroyed. False when no connection could be made (reported here; no
    // thread was started); true also when a stop came before the bridge did.
    bool start();
    void fetcherLoop();
    void miningLoop();

    std::string host;
    int port;
    std::thread fetcher_thread;

private:
    void handleNewPuzzle(const MiningEvent& event);
    bool prepareBuffer(const CheckedPuzzle& puzzle);

    MiningConfig config_;
    MiningStatus status_;
    std::unique_ptr<Rig> rig_;  // mining on several cards; null: on the current device
};

// One fetch cycle after another until a stop: request, reply, pause; a lost connection is taken up
// again with backoff while mining goes on.
void bridgePuzzleFetcher(const MiningConfig& config = {});

// Mining against the bridge at host:port until it ends; then the GPU is released. False when the
// bridge could not be reached (the process must not report success then).
bool startUnifiedMining(const std::string& host, int port, const MiningConfig& config = {});
