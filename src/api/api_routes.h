// What the API answers to one request, apart from the transport: the token, the method, the four
// routes. The server hands the request's parts in and writes the answer out.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "api/api_settings.h"
#include "miner/miner_snapshot.h"

struct ApiRequest {
    std::string method;         // as sent: "GET", "HEAD", ...
    std::string target;         // "/summary?x=1"
    std::string authorization;  // the Authorization header, empty when none
};

struct ApiAnswer {
    int status = 200;
    std::string content_type;
    std::string body;  // the GET body also for HEAD: the server sends its length, not its bytes
    std::vector<std::pair<std::string, std::string>> headers;
};

ApiAnswer answerRequest(const ApiRequest& request, const ApiSettings& settings, const SnapshotBoard& board);
