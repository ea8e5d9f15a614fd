// GET /summary: the published snapshot as one JSON object (README, "HTTP API").
#pragma once

#include <cstdint>
#include <string>

#include "miner/miner_snapshot.h"

// `sequence`: the board's publication count, so that a client can tell a new record from the last.
std::string summaryJson(const MinerSnapshot& snapshot, std::uint64_t sequence);
