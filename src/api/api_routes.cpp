#include "api/api_routes.h"

#include <cctype>

#include "api/dashboard_page.h"
#include "api/metrics_text.h"
#include "api/summary_json.h"

namespace {

ApiAnswer text_answer(int status, const std::string& body)
{
    return {status, "text/plain; charset=utf-8", body + "\n", {}};
}

// Compares in time that depends on the lengths only, so that an answer's delay tells nothing
// about how much of a guessed token was right.
bool same_secret(const std::string& given, const std::string& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return difference == 0;
}

bool authorized(const std::string& header, const std::string& token)
{
    if (token.empty()) return true;
    const std::string scheme = "bearer ";
    if (header.size() < scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return false;
    return same_secret(header.substr(scheme.size()), token);
}

// 200 while a card mines or builds, the process is not stopping and the application still publishes.
ApiAnswer health(const SnapshotBoard::Reading& reading, const ApiSettings& settings)
{
    const MinerSnapshot& s = *reading.snapshot;
    if (reading.sequence == 0) return text_answer(503, "starting: nothing published yet");
    if (SnapshotBoard::Clock::now() - reading.published > settings.limits.stale_after)
        return text_answer(503, "stale: nothing published for too long");
    if (s.stopping) return text_answer(503, "stopping");
    for (const CardSnapshot& card : s.cards)
        if (card.state == CardState::mining || card.state == CardState::building) return text_answer(200, "ok");
    return text_answer(503, "no card mines or builds");
}

}  // namespace

ApiAnswer answerRequest(const ApiRequest& request, const ApiSettings& settings, const SnapshotBoard& board)
{
    if (!authorized(request.authorization, settings.token)) {
        ApiAnswer answer = text_answer(401, "unauthorized");
        answer.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"corvane-miner\"");
        return answer;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        ApiAnswer answer = text_answer(405, "method not allowed");
        answer.headers.emplace_back("Allow", "GET, HEAD");
        return answer;
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (path == "/health") return health(board.read(), settings);
    if (path == "/summary") {
        const SnapshotBoard::Reading reading = board.read();
        return {200, "application/json", summaryJson(*reading.snapshot, reading.sequence), {}};
    }
    if (path == "/metrics") return {200, METRICS_CONTENT_TYPE, metricsText(*board.read().snapshot), {}};
    if (path == "/") {
        // Everything the page needs is in it: nothing may come from another origin.
        return {200,
                "text/html; charset=utf-8",
                dashboardPage(),
                {{"Content-Security-Policy",
                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
                  "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"}}};
    }
    return text_answer(404, "not found: the routes are /, /summary, /metrics and /health");
}
