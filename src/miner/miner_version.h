// The miner's version, as the HTTP API and its metrics report it.
#pragma once

constexpr const char* MINER_VERSION = "1.1.0";
