// The miner's geometry and timings: the product runs the defaults; tests shrink the tree and the
// timings.
#pragma once

#include <chrono>
#include <vector>

#include "miner/bridge_link.h"
#include "mining/mining_driver.h"
#include "pow/pow.h"

struct MiningConfig {
    GuesserGeometry geometry;                          // the tree of every puzzle's buffer
    MiningDriverConfig driver;                         // ranges, batches, the kernel
    std::chrono::milliseconds loop_event_wait{1000};   // the mining loop's wait per pass
    std::chrono::milliseconds watch_wait{100};         // the rig's wait for news while its cards mine
    int max_card_failures = 3;                         // failed builds or searches in a row that take a card out
    std::chrono::milliseconds fetch_pause{5000};       // after each fetch cycle; ends early on a stop
    float receive_timeout_s = 10.0f;                   // for the reply to a puzzle request
    std::chrono::milliseconds status_interval{60000};  // between two status lines
    BridgeLinkConfig link;                             // start-up retries, reconnects
    std::vector<int> gpus{0};                          // the cards mined on
    int temp_limit_c = 0;                              // --temp-limit: a card this hot pauses; 0: none
    std::chrono::milliseconds pause_check{100};        // a paused card's wait between looks at its sensors
};
