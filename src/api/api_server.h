// The miner's HTTP API on a thread of its own: answers from the snapshot board only, so that no
// client, however slow or hostile, can hold up mining or the status line.
#pragma once

#include <memory>
#include <string>

#include "api/api_settings.h"
#include "miner/miner_snapshot.h"

class ApiServer {
public:
    // `board` must outlive the server.
    ApiServer(ApiSettings settings, const SnapshotBoard& board);
    ~ApiServer();  // stops
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens and serves. Returns the error line when the address cannot be had (in use, not
    // this machine's), empty on success. Called once.
    std::string start();
    // Ends the serving thread; open connections are dropped. Harmless when not started or repeated.
    void stop();
    // The port listened on (the one chosen when settings.port was 0); 0 before start.
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
