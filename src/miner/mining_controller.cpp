#include "miner/mining_controller.h"

#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "bridge/bridge_reply.h"
#include "bridge/client.h"
#include "bridge/puzzle_message.h"
#include "bridge/reply_line.h"
#include "bridge/text_prefix.h"
#include "bridge/traffic_echo.h"
#include "diag/console_line.h"
#include "diag/debug.h"
#include "gpu/device_error.h"
#include "miner/bridge_link.h"
#include "miner/miner_session.h"
#include "miner/shared_state.h"
#include "miner/solution_outbox.h"
#include "miner/stop_signal.h"
#include "pow/guesser_buffer.h"

namespace {

void release_client()
{
    std::lock_guard<std::mutex> lock(stop_targets_mutex());
    if (!g_corvane_miner_client) return;
    if (g_corvane_miner_client->disconnect()) print_line(std::cout, "📡 Disconnected from miner bridge");
    g_corvane_miner_client.reset();
    bridge_connected.store(false);
}

std::string short_id(const std::string& id)
{
    return text_prefix(id, 16) + "...";
}

bool same_paths(const PowMastPaths& a, const PowMastPaths& b)
{
    return a.pow[0] == b.pow[0] && a.pow[1] == b.pow[1] && a.pow[2] == b.pow[2] && a.header[0] == b.header[0] &&
           a.header[1] == b.header[1] && a.kernel[0] == b.kernel[0];
}

// The fetcher's part of a reply: post what is new and remember its id. A refused puzzle is
// remembered too, so its refusal is reported once.
void act_on(const BridgeReply& reply)
{
    switch (reply.outcome) {
    case ReplyOutcome::NEW_PUZZLE:
        event_handler->postEvent(MiningEvent(EventType::NEW_PUZZLE, reply.puzzle_id, reply.canonical_text,
                                             std::make_shared<const CheckedPuzzle>(reply.puzzle)));
        last_puzzle_id = reply.puzzle_id;
        break;
    case ReplyOutcome::REFUSED:
        last_puzzle_id = reply.puzzle_id;
        break;
    case ReplyOutcome::BRIDGE_ERROR:
        event_handler->postEvent(MiningEvent(EventType::ERROR, "", reply.error));
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

void handle_line(const std::string& line, TrafficEcho& echo)
{
    const bool news = echo.reply(line);
    const nlohmann::json reply = parse_reply_line(line, news);
    if (reply.empty()) return;
    std::string solved;
    if (answers_a_solution(reply) && solution_outbox.take_awaiting(solved)) {
        print_line(std::cout, "📨 Bridge verdict on the solution for puzzle " + short_id(solved) + ": " +
                                  text_prefix(line, 100) + "...");
        return;
    }
    const BridgeReply accepted = acceptBridgeReply(reply, last_puzzle_id, news);
    act_on(accepted);
    if (!accepted.puzzle_id.empty()) solution_outbox.puzzle_is_current(accepted.puzzle_id);
}

// One fetch cycle on a working connection: the request, its reply, and every line that came with it.
void poll_bridge(CorvaneCudaMinerClient& client, BridgeLink& link, TrafficEcho& echo, const MiningConfig& config)
{
    const nlohmann::json request = puzzle_request_message();
    if (!client.send_message(request)) return;  // the loss is reported by the next ensure_connected
    echo.request_sent(request.dump());
    std::string line;
    if (!link.receive(client, config.receive_timeout_s, line)) return;
    handle_line(line, echo);
    // Lines that arrived together with the reply, such as answers to solutions.
    while (client.has_buffered_line() && link.receive(client, config.receive_timeout_s, line)) handle_line(line, echo);
}

}  // namespace

UnifiedMiningController::UnifiedMiningController(const std::string& host_, int port_, const MiningConfig& config)
    : host(host_), port(port_), config_(config), status_(config.rate_window)
{
}

UnifiedMiningController::~UnifiedMiningController()
{
    // Only after an exception out of start: the fetcher must not outlive its controller.
    if (fetcher_thread.joinable()) {
        request_stop();
        fetcher_thread.join();
    }
    release_client();
}

bool UnifiedMiningController::start()
{
    {
        std::lock_guard<std::mutex> lock(stop_targets_mutex());
        event_handler = std::make_unique<EventHandler>();
        g_corvane_miner_client = std::make_unique<CorvaneCudaMinerClient>(host, port);
    }
    switch (BridgeLink(config_.link).connect_at_start(*g_corvane_miner_client)) {
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
    // The GPU is the one the start-up selected on this thread.
    fetcher_thread = std::thread(&UnifiedMiningController::fetcherLoop, this);
    miningLoop();
    fetcher_thread.join();
    release_client();
    return true;
}

void UnifiedMiningController::fetcherLoop()
{
    bridgePuzzleFetcher(config_);
}

void bridgePuzzleFetcher(const MiningConfig& config)
{
    print_parts(std::cout, "🔄 Bridge puzzle fetcher started");
    BridgeLink link(config.link);
    TrafficEcho echo(crv_debug_runtime_enabled());
    for (;;) {
        if (stop_mining.load()) {
            print_parts(std::cout, "🔄 Bridge puzzle fetcher stopped");
            return;
        }
        CorvaneCudaMinerClient* client = g_corvane_miner_client.get();
        if (client == nullptr) {
            print_parts(std::cerr, "Corvane miner client not initialized");
            sleep_unless_stopped(config.fetch_pause);
            continue;
        }
        switch (link.ensure_connected(*client)) {
        case BridgeLink::State::RECONNECTED:
            echo.forget();
            solution_outbox.connection_replaced();
            break;
        case BridgeLink::State::CONNECTED:
            break;
        default:
            continue;  // stopped
        }
        try {
            poll_bridge(*client, link, echo, config);
        } catch (const std::exception& error) {
            print_parts(std::cerr, "Error fetching puzzle from bridge: ", error.what());
            event_handler->postEvent(MiningEvent(EventType::ERROR, "", error.what()));
        }
        if (client->connected()) sleep_unless_stopped(config.fetch_pause);  // a loss is taken on at once
    }
}

void UnifiedMiningController::miningLoop()
{
    const StatusReporter reporter(status_, config_.status_interval);
    for (;;) {
        if (stop_mining.load()) return;
        MiningEvent event;
        if (!event_handler->waitForEvent(event, config_.loop_event_wait)) continue;
        // Puzzles announced while the last one was built or mined: only the newest is worth mining.
        if (event.type == EventType::NEW_PUZZLE) event = newest_work(std::move(event));
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
        if (puzzle.prev_block != current_prev_block) {
            print_parts(std::cout, "🔄 New puzzle detected, resetting nonce offset to: ", cli_nonce_offset);
            global_nonce_offset = cli_nonce_offset;
            current_prev_block = puzzle.prev_block;
        }
        status_.set_puzzle(puzzle.id, puzzle.prev_block);
        MinerSession session(status_);
        const bool solved = prepareBuffer(puzzle) && continuousMiningLoop(puzzle, *current_buffer, session, config_.driver);
        if (solved)
            print_parts(std::cout, "🎉 Solution found for puzzle! Continuing to mine for more solutions...");
        else if (!stop_mining.load())
            print_parts(std::cout, "🔄 Mining interrupted, continuing in main loop...");
    } catch (const std::exception& error) {
        print_parts(std::cerr, "Error parsing puzzle from event: ", error.what());
        print_parts(std::cerr, "🔍 DEBUG: Failed event data in handleNewPuzzle: ", event.data);
    }
}

bool UnifiedMiningController::prepareBuffer(const CheckedPuzzle& puzzle)
{
    // The tree depends on the paths alone: a puzzle with the same paths mines on with it (on the
    // same block its range index goes on, so no candidate is tried twice).
    if (current_buffer && current_buffer->d_merkle_tree != nullptr &&
        current_buffer->tree_height == config_.geometry.tree_height &&
        same_paths(current_buffer->mast_paths, puzzle.mast_paths)) {
        print_parts(std::cout, "♻️ Same authentication paths: mining on with the guesser buffer already built");
        return true;
    }
    if (current_buffer) {
        current_buffer->cleanup();
        current_buffer.reset();
    }
    if (preprocessPuzzle(puzzle, config_.geometry)) return true;
    // A lost context fails every later build too: then only a new process helps.
    const cudaError_t status = cudaDeviceSynchronize();
    if (!crv_cuda_ok(status, "device check") && gpu::loses_context(status)) stop_for_lost_device(status);
    return false;
}

bool startUnifiedMining(const std::string& host, int port, const MiningConfig& config)
{
    bool mined = false;
    {
        UnifiedMiningController controller(host, port, config);
        try {
            mined = controller.start();
        } catch (const std::exception& error) {
            print_parts(std::cerr, "Error in unified mining: ", error.what());
        }
    }
    cleanup_gpu_memory();
    return mined;
}
