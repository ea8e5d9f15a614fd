// The application's hold on the one bridge connection: the first connect, retried for a while so
// a miner started together with its bridge just works; the loss of the connection, noticed on
// either thread and reported once by the fetcher; reconnects with backoff while mining goes on.
// Keeps the `connected` flag it is given up to date and words every line about the connection (the client only
// reports values).
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "bridge/client.h"
#include "bridge/reconnect_backoff.h"

struct BridgeLinkConfig {
    std::chrono::milliseconds start_window{30000};     // an unreachable bridge is retried this long at start
    BackoffConfig backoff;                              // 1 s doubling to 30 s, with jitter
    std::chrono::milliseconds connect_timeout{5000};   // per attempt
    std::chrono::milliseconds send_timeout{10000};     // a bridge that stops reading fails the send
};

class BridgeLink {
public:
    enum class State { CONNECTED, RECONNECTED, STOPPED, FAILED };

    BridgeLink(const BridgeLinkConfig& config, std::atomic<bool>& connected)
        : config_(config), backoff_(config.backoff), connected_(connected)
    {
    }

    // Start-up, before the fetcher exists: CONNECTED, STOPPED (a stop request ended the retries) or
    // FAILED (an invalid address at once; an unreachable bridge once the window has passed, after
    // "❌ Failed to connect to bridge at H:P"). One line per failed attempt that is retried.
    State connect_at_start(CorvaneCudaMinerClient& client);

    // Fetcher, at the top of each cycle: CONNECTED while the connection works. Otherwise reports
    // the loss once, closes the connection (sends fail at once then) and tries again, one line per
    // failed attempt, until RECONNECTED or STOPPED.
    State ensure_connected(CorvaneCudaMinerClient& client);

    // Fetcher: the next line into `line`; false when none came (a timeout or a failure is
    // reported, the loss itself is left to ensure_connected; a woken wait reports nothing).
    bool receive(CorvaneCudaMinerClient& client, float timeout_s, std::string& line);

private:
    ConnectOutcome attempt(CorvaneCudaMinerClient& client);  // prints the success line
    std::chrono::milliseconds failed_attempt(const CorvaneCudaMinerClient& client, const ConnectOutcome& outcome,
                                             std::chrono::milliseconds limit);

    BridgeLinkConfig config_;
    ReconnectBackoff backoff_;
    std::atomic<bool>& connected_;
};
