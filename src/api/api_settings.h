// Where the miner's HTTP API listens and what it lets a client do. Tests shrink the limits.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// Beside the bridge's 5002; not a port that common miners' APIs (4028, 4067, 4068, 8080, 10050,
// 21550, 22333) or Prometheus exporters (9100 and up) take.
constexpr int DEFAULT_API_PORT = 5003;

struct ApiLimits {
    // Connections served at once; more wait in the kernel's accept queue until one ends.
    int connections = 64;
    // A request's line and headers must have come whole within this, counted from the connection
    // (or the previous answer); a slower client is cut off.
    std::chrono::milliseconds request_timeout{5000};
    // An answer must have been taken by the client within this.
    std::chrono::milliseconds write_timeout{5000};
    // The request line and headers together; more is answered with 431.
    std::size_t header_bytes = 8192;
    // /health answers 503 once the application has published nothing for this long.
    std::chrono::milliseconds stale_after{30000};
};

struct ApiSettings {
    bool enabled = true;  // --api off: no server
    std::string host = "127.0.0.1";
    int port = DEFAULT_API_PORT;  // 0: any free port (tests)
    std::string token;            // not empty: every request needs "Authorization: Bearer TOKEN"
    ApiLimits limits;
};

// Reads --api's value ("off" or HOST:PORT, an IPv6 host in brackets) into `settings`. Returns the
// error line, empty on success.
std::string readApiAddress(const std::string& text, ApiSettings& settings);

// "127.0.0.1:5003", "[::1]:5003".
std::string apiAddressText(const std::string& host, int port);

// Whether `host` (a numeric address) can be reached from this machine only.
bool isLoopbackAddress(const std::string& host);

// Why these settings must not start: a bind beyond loopback without a token. Empty when they may.
std::string apiSettingsError(const ApiSettings& settings);
