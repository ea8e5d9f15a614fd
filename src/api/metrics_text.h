// GET /metrics: the published snapshot in Prometheus' text format (version 0.0.4). Labels take
// bounded values only: gpu (a device index), result, sensor, clock, version.
#pragma once

#include <string>

#include "miner/miner_snapshot.h"

constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

std::string metricsText(const MinerSnapshot& snapshot);
