#include "miner/mining_controller.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <utility>

#include "bridge/bridge_reply.h"
#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "bridge/reply_line.h"
#include "bridge/text_prefix.h"
#include "bridge/traffic_echo.h"
#include "diag/console_line.h"
#include "diag/debug.h"
#include "miner/bridge_link.h"
#include "miner/stop_signal.h"

namespace {

std::string short_id(const std::string& id)
{
    return text_prefix(id, 16) + "...";
}

// The fetcher's part of a reply: post what is new and remember its id. A refused puzzle is
// remembered too, so its refusal is reported once.
void act_on(const BridgeReply& reply, MinerState& state)
{
    switch (reply.outcome) {
    case ReplyOutcome::NEW_PUZZLE:
        state.event_handler.postEvent(MiningEvent(EventType::NEW_PUZZLE, reply.puzzle_id, reply.canonical_text,
                                                  std::make_shared<const CheckedPuzzle>(reply.puzzle)));
        state.last_puzzle_id = reply.puzzle_id;
        break;
    case ReplyOutcome::REFUSED:
        state.last_puzzle_id = reply.puzzle_id;
        break;
    case ReplyOutcome::BRIDGE_ERROR:
        state.event_handler.postEvent(MiningEvent(EventType::ERROR, "", reply.error));
        break;
    default:
        break;
    }
}

// A reply that is neither work nor "no work yet" is, while a sent solution waits, its answer.
bool answers_a_solution(const nlohmann::json& reply)
{
    const std::string type = reply.value("msg_type", "");
    if (type == "pow_puzzle_v1") return false;
    return type != "error" || reply.value("message", "").find("No puzzle available") == std::string::npos;
}

// Counts a bridge's answer to a solution: an error, or a line that says rejected, is a rejection; a
// line that says accepted an acceptance; anything else is only counted as received.
void count_verdict(const nlohmann::json& reply, const std::string& line, MinerState& state)
{
    state.verdicts_received.fetch_add(1);
    std::string text = line;
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    if (reply.value("msg_type", "") == "error" || text.find("reject") != std::string::npos)
        state.verdicts_rejected.fetch_add(1);
    else if (text.find("accept") != std::string::npos)
        state.verdicts_accepted.fetch_add(1);
}

void handle_line(const std::string& line, TrafficEcho& echo, MinerState& state)
{
    const bool news = echo.reply(line);
    const nlohmann::json reply = parse_reply_line(line, news);
    if (reply.empty()) return;
    std::string solved;
    if (answers_a_solution(reply) && state.solution_outbox.take_awaiting(solved)) {
        print_line(std::cout, "📨 Bridge verdict on the solution for puzzle " + short_id(solved) + ": " +
                                  text_prefix(line, 100) + "...");
        count_verdict(reply, line, state);
        return;
    }
    const BridgeReply accepted = acceptBridgeReply(reply, state.last_puzzle_id, news);
    act_on(accepted, state);
    if (!accepted.puzzle_id.empty()) state.solution_outbox.puzzle_is_current(accepted.puzzle_id);
}

// One fetch cycle on a working connection: the request, its reply, and every line that came with it.
void poll_bridge(CorvaneCudaMinerClient& client, BridgeLink& link, TrafficEcho& echo, MinerState& state,
                 const MiningConfig& config)
{
    const nlohmann::json request = puzzle_request_message();
    if (!client.send_message(request)) return;  // the loss is reported by the next ensure_connected
    echo.request_sent(request.dump());
    std::string line;
    if (!link.receive(client, config.receive_timeout_s, line)) return;
    handle_line(line, echo, state);
    // Lines that arrived together with the reply, such as answers to solutions.
    while (client.has_buffered_line() && link.receive(client, config.receive_timeout_s, line)) handle_line(line, echo, state);
}

}  // namespace

UnifiedMiningController::UnifiedMiningController(const std::string& host_, int port_, MinerState& state,
                                                 const MiningConfig& config)
    : host(host_), port(port_), state_(state), config_(config), status_(state), rig_(state, status_, config_)
{
    status_.set_bridge(host + ":" + std::to_string(port));
}

UnifiedMiningController::~UnifiedMiningController()
{
    finish();
}

void UnifiedMiningController::release_client()
{
    std::lock_guard<std::mutex> lock(state_.targets_mutex);
    if (!state_.g_corvane_miner_client) return;
    if (state_.g_corvane_miner_client->disconnect()) print_line(std::cout, "📡 Disconnected from miner bridge");
    state_.g_corvane_miner_client.reset();
    state_.bridge_connected.store(false);
}

void UnifiedMiningController::finish()
{
    if (std::exchange(finished_, true)) return;
    // Only after an exception out of start: the fetcher must not outlive its controller.
    if (fetcher_thread.joinable()) {
        state_.request_stop();
        fetcher_thread.join();
    }
    release_client();
    rig_.cleanup();
}

bool UnifiedMiningController::start()
{
    {
        std::lock_guard<std::mutex> lock(state_.targets_mutex);
        state_.g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>(host, port);
    }
    switch (BridgeLink(config_.link, state_.bridge_connected).connect_at_start(*state_.g_corvane_miner_client)) {
    case BridgeLink::State::FAILED:
        print_parts(std::cerr, "Failed to connect to miner bridge at ", host, ":", port);
        release_client();
        return false;
    case BridgeLink::State::STOPPED:  // asked to stop while the bridge was still away
        release_client();
        return true;
    default:
        break;
    }
    fetcher_thread = std::thread(&UnifiedMiningController::fetcherLoop, this);
    miningLoop();
    fetcher_thread.join();
    release_client();
    return true;
}

void UnifiedMiningController::fetcherLoop()
{
    bridgePuzzleFetcher(state_, config_);
}

void bridgePuzzleFetcher(MinerState& state, const MiningConfig& config)
{
    print_parts(std::cout, "🔄 Bridge puzzle fetcher started");
    BridgeLink link(config.link, state.bridge_connected);
    TrafficEcho echo(crv_debug_runtime_enabled());
    for (;;) {
        if (stop_mining.load()) {
            print_parts(std::cout, "🔄 Bridge puzzle fetcher stopped");
            return;
        }
        CorvaneCudaMinerClient* client = state.g_corvane_miner_client.get();
        if (client == nullptr) {
            print_parts(std::cerr, "Corvane miner client not initialized");
            sleep_unless_stopped(config.fetch_pause);
            continue;
        }
        switch (link.ensure_connected(*client)) {
        case BridgeLink::State::RECONNECTED:
            state.bridge_reconnects.fetch_add(1);
            echo.forget();
            state.solution_outbox.connection_replaced();
            break;
        case BridgeLink::State::CONNECTED:
            break;
        default:
            continue;  // stopped
        }
        try {
            poll_bridge(*client, link, echo, state, config);
        } catch (const std::exception& error) {
            print_parts(std::cerr, "Error fetching puzzle from bridge: ", error.what());
            state.event_handler.postEvent(MiningEvent(EventType::ERROR, "", error.what()));
        }
        if (client->connected()) sleep_unless_stopped(config.fetch_pause);  // a loss is taken on at once
    }
}

void UnifiedMiningController::miningLoop()
{
    const StatusReporter reporter(status_, state_.board, config_.status_interval);
    for (;;) {
        if (stop_mining.load()) return;
        MiningEvent event;
        if (!state_.event_handler.waitForEvent(event, config_.loop_event_wait)) continue;
        // Puzzles announced while the last one was built or mined: only the newest is worth mining.
        if (event.type == EventType::NEW_PUZZLE) event = newest_work(state_.event_handler, std::move(event));
        switch (event.type) {
        case EventType::STOP_MINING:
            print_parts(std::cout, "🛑 Stop mining event received");
            return;
        case EventType::NEW_PUZZLE:
            print_parts(std::cout, "🔄 New puzzle: ", short_id(event.puzzle_id));
            handleNewPuzzle(event);
            break;
        default:
            break;  // solutions and errors need nothing here
        }
    }
}

void UnifiedMiningController::handleNewPuzzle(const MiningEvent& event)
{
    try {
        if (!event.puzzle) throw std::invalid_argument("the event carries no checked puzzle");
        const CheckedPuzzle& puzzle = *event.puzzle;
        if (puzzle.prev_block != state_.current_prev_block) {
            print_parts(std::cout, "🔄 New puzzle detected, resetting nonce offset to: ", state_.cli_nonce_offset);
            state_.global_nonce_offset = state_.cli_nonce_offset;
            state_.current_prev_block = puzzle.prev_block;
        }
        status_.set_puzzle(puzzle.id, puzzle.prev_block);
        // The tree depends on the paths alone: a card keeps a buffer built from the same paths (on the
        // same block the range index goes on, so no candidate is tried twice).
        if (rig_.mine(puzzle))
            print_parts(std::cout, "🎉 Solution found for puzzle! Continuing to mine for more solutions...");
        else if (!stop_mining.load())
            print_parts(std::cout, "🔄 Mining interrupted, continuing in main loop...");
    } catch (const std::exception& error) {
        print_parts(std::cerr, "Error parsing puzzle from event: ", error.what());
        print_parts(std::cerr, "🔍 DEBUG: Failed event data in handleNewPuzzle: ", event.data);
    }
}

bool startUnifiedMining(const std::string& host, int port, MinerState& state, const MiningConfig& config)
{
    UnifiedMiningController controller(host, port, state, config);
    bool mined = false;
    try {
        mined = controller.start();
    } catch (const std::exception& error) {
        print_parts(std::cerr, "Error in unified mining: ", error.what());
    }
    controller.finish();
    return mined;
}
