// The steady state of the miner: a fetcher thread that polls the bridge and posts new puzzles, and
// the mining loop on the calling thread that has each puzzle built and searched by the rig's cards.
#pragma once

#include <string>
#include <thread>

#include "miner/miner_state.h"
#include "miner/mining_config.h"
#include "miner/mining_event.h"
#include "miner/mining_status.h"
#include "miner/rig.h"

class UnifiedMiningController {
public:
    UnifiedMiningController(const std::string& host, int port, MinerState& state, const MiningConfig& config = {});
    ~UnifiedMiningController();

    // Connects (retrying an unreachable bridge for config.link.start_window), runs the fetcher
    // thread and the mining loop until a stop, then shuts down in order: fetcher joined, client
    // disconnected and destroyed. False when no connection could be made (reported here; no
    // thread was started); true also when a stop came before the bridge did.
    bool start();
    void fetcherLoop();
    void miningLoop();
    // What remains after start, also after an exception out of it: the fetcher stopped and joined,
    // the client released, then every card's GPU memory freed and its device reset.
    void finish();

    std::string host;
    int port;
    std::thread fetcher_thread;

private:
    void handleNewPuzzle(const MiningEvent& event);
    void release_client();

    MinerState& state_;
    MiningConfig config_;
    MiningStatus status_;
    Rig rig_;
    bool finished_ = false;
};

// One fetch cycle after another until a stop: request, reply, pause; a lost connection is taken up
// again with backoff while mining goes on.
void bridgePuzzleFetcher(MinerState& state, const MiningConfig& config = {});

// Mining against the bridge at host:port until it ends; then the GPUs are released. False when the
// bridge could not be reached (the process must not report success then).
bool startUnifiedMining(const std::string& host, int port, MinerState& state, const MiningConfig& config = {});
