#include "miner/bridge_link.h"

#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "diag/console_line.h"
#include "miner/stop_signal.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string address(const CorvaneCudaMinerClient& client)
{
    return client.host_text() + ":" + std::to_string(client.port_number());
}

std::string seconds(milliseconds wait)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << static_cast<double>(wait.count()) / 1000.0 << " s";
    return text.str();
}

std::string loss_text(const CorvaneCudaMinerClient& client)
{
    switch (client.failure()) {
    case LinkFailure::CLOSED:
        return "❌ Connection closed by bridge";
    case LinkFailure::SEND:
        return std::string("❌ Failed to send message (") + std::strerror(client.failure_error()) + ")";
    case LinkFailure::RECEIVE:
        return std::string("❌ Connection to bridge failed (") + std::strerror(client.failure_error()) + ")";
    case LinkFailure::NONE:
        break;
    }
    return "❌ Not connected to bridge";
}

}  // namespace

ConnectOutcome BridgeLink::attempt(CorvaneCudaMinerClient& client)
{
    const ConnectOutcome outcome = client.connect(config_.connect_timeout, config_.send_timeout);
    if (outcome.status == ConnectOutcome::Status::CONNECTED) {
        backoff_.reset();
        connected_.store(true);
        print_line(std::cout, "✅ Connected to miner bridge at " + address(client));
    }
    return outcome;
}

// The line of a failed attempt that will be retried, and the wait before the next one.
milliseconds BridgeLink::failed_attempt(const CorvaneCudaMinerClient& client, const ConnectOutcome& outcome,
                                        milliseconds limit)
{
    const int attempt_number = backoff_.failures() + 1;
    const milliseconds wait = std::min(backoff_.next_wait(), limit);
    const char* reason = outcome.status == ConnectOutcome::Status::NO_SOCKET ? "no socket: " : "";
    print_line(std::cerr, "🔌 Connection attempt " + std::to_string(attempt_number) + " to miner bridge at " +
                              address(client) + " failed (" + reason + std::strerror(outcome.error) + "); next in " +
                              seconds(wait));
    return wait;
}

BridgeLink::State BridgeLink::connect_at_start(CorvaneCudaMinerClient& client)
{
    using S = ConnectOutcome::Status;
    const auto deadline = Clock::now() + config_.start_window;
    for (;;) {
        const ConnectOutcome outcome = attempt(client);
        switch (outcome.status) {
        case S::CONNECTED:
            return State::CONNECTED;
        case S::BAD_ADDRESS:
            print_line(std::cerr, "❌ Invalid address: " + client.host_text());
            return State::FAILED;
        case S::INTERRUPTED:
            return State::STOPPED;
        case S::NO_SOCKET:
        case S::FAILED:
            break;
        }
        if (stop_mining.load()) return State::STOPPED;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            print_line(std::cerr, "❌ Failed to connect to bridge at " + address(client));
            return State::FAILED;
        }
        if (sleep_unless_stopped(failed_attempt(client, outcome, left))) return State::STOPPED;
    }
}

BridgeLink::State BridgeLink::ensure_connected(CorvaneCudaMinerClient& client)
{
    if (client.connected()) return State::CONNECTED;
    connected_.store(false);
    milliseconds wait = backoff_.next_wait();
    print_line(std::cerr, loss_text(client) + "; mining goes on, reconnecting to " + address(client) + " in " +
                              seconds(wait));
    client.disconnect();
    for (;;) {
        if (sleep_unless_stopped(wait)) return State::STOPPED;
        const ConnectOutcome outcome = attempt(client);
        if (outcome.status == ConnectOutcome::Status::CONNECTED) return State::RECONNECTED;
        if (outcome.status == ConnectOutcome::Status::INTERRUPTED || stop_mining.load()) return State::STOPPED;
        wait = failed_attempt(client, outcome, config_.backoff.cap);
    }
}

bool BridgeLink::receive(CorvaneCudaMinerClient& client, float timeout_s, std::string& line)
{
    using S = ReceivedLine::Status;
    ReceivedLine received = client.receive_message(timeout_s);
    for (std::size_t i = 0; i < received.dropped_lines; ++i)
        print_line(std::cerr, "❌ Dropped a message from bridge longer than " + std::to_string(kMaxBridgeLineBytes) +
                                  " bytes");
    switch (received.status) {
    case S::LINE:
        line = std::move(received.line);
        return true;
    case S::TIMED_OUT:
        print_line(std::cerr, "⏰ Timeout or error receiving response");
        break;
    case S::BAD_TIMEOUT:
        print_line(std::cerr, "❌ Failed to set socket timeout");
        break;
    default:
        break;  // woken by a stop, or the connection is gone: ensure_connected reports it
    }
    return false;
}
