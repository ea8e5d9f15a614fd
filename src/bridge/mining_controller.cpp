#include "bridge/mining_controller.h"

#include <cctype>
#include <exception>
#include <iostream>
#include <memory>

#include "bridge/bridge_reply.h"
#include "bridge/client.h"
#include "bridge/console_line.h"
#include "bridge/puzzle_message.h"
#include "bridge/shared_state.h"
#include "bridge/stop_signal.h"
#include "hash/field.h"
#include "pow/guesser_buffer.h"

std::string current_prev_block;

namespace {

void release_client()
{
    std::lock_guard<std::mutex> lock(stop_targets_mutex());
    if (!g_corvane_miner_client) return;
    g_corvane_miner_client->disconnect();
    g_corvane_miner_client.reset();
}

std::string short_id(const std::string& id)
{
    return id.substr(0, 16) + "...";
}

// Strict form of the hex text hex_to_digest reads: optional 0x, at most 80 hex digits, every
// element canonical. hex_to_digest itself accepts pairs like "1g" and wraps nothing, so a bad
// text would otherwise hash as some other digest.
std::string digestTextError(const std::string& text)
{
    const std::string hex = text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
    if (hex.empty()) return "is empty";
    if (hex.size() > DIGEST_HEX_LENGTH) return "has more than 80 hex digits";
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "is not hexadecimal";
    const Digest digest = hex_to_digest(text);
    for (int i = 0; i < Digest::LENGTH; ++i)
        if (digest[i] >= field::P) return "holds element " + std::to_string(i) + " >= p";
    return "";
}

}  // namespace

std::string puzzlePathsError(const PowPuzzle& puzzle)
{
    struct Path {
        const char* name;
        const std::vector<std::string>& texts;
        size_t used;
    };
    const Path paths[] = {{"pow", puzzle.auth_paths.pow, 3},
                          {"header", puzzle.auth_paths.header, 2},
                          {"kernel", puzzle.auth_paths.kernel, 1}};
    for (const Path& path : paths)
        for (size_t i = 0; i < std::min(path.used, path.texts.size()); ++i) {
            const std::string reason = digestTextError(path.texts[i]);
            if (!reason.empty())
                return std::string("auth path ") + path.name + "[" + std::to_string(i) + "] " + reason;
        }
    return "";
}

UnifiedMiningController::UnifiedMiningController(const std::string& host_, int port_, const MiningConfig& config)
    : host(host_), port(port_), config_(config)
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
    if (!g_corvane_miner_client->connect()) {
        print_parts(std::cerr, "Failed to connect to miner bridge at ", host, ":", port);
        std::lock_guard<std::mutex> lock(stop_targets_mutex());
        g_corvane_miner_client.reset();
        return false;
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
        try {
            const bool sent = client->send_message(puzzle_request_message());
            nlohmann::json reply = sent ? client->receive_message(config.receive_timeout_s) : nlohmann::json::object();
            acceptBridgeReply(reply, *event_handler, last_puzzle_id);
            // Lines that arrived together with the reply, such as answers to solutions.
            while (client->has_buffered_line())
                acceptBridgeReply(client->receive_message(config.receive_timeout_s), *event_handler, last_puzzle_id);
        } catch (const std::exception& error) {
            print_parts(std::cerr, "Error fetching puzzle from bridge: ", error.what());
            event_handler->postEvent(MiningEvent(EventType::ERROR, "", error.what()));
        }
        sleep_unless_stopped(config.fetch_pause);
    }
}

void UnifiedMiningController::miningLoop()
{
    for (;;) {
        if (stop_mining.load()) return;
        MiningEvent event;
        if (!event_handler->waitForEvent(event, config_.loop_event_wait)) continue;
        switch (event.type) {
        case EventType::STOP_MINING:
            print_parts(std::cout, "🛑 Stop mining event received");
            return;
        case EventType::NEW_PUZZLE:
            print_parts(std::cout, "🔄 New puzzle: ", short_id(event.puzzle_id));
            handleNewPuzzle(event.data);
            break;
        default:
            break;  // solutions and errors need nothing here
        }
    }
}

void UnifiedMiningController::handleNewPuzzle(const std::string& data)
{
    try {
        const PowPuzzle puzzle = parsePowPuzzle(data);
        // Refused before any GPU work: a bad text would build (and mine) a buffer for other paths.
        const std::string refusal = puzzlePathsError(puzzle);
        if (!refusal.empty()) {
            print_parts(std::cerr, "Error: puzzle ", short_id(puzzle.id), " refused: ", refusal);
            return;
        }
        if (puzzle.prev_block != current_prev_block) {
            print_parts(std::cout, "🔄 New puzzle detected, resetting nonce offset to: ", cli_nonce_offset);
            global_nonce_offset = cli_nonce_offset;
            current_prev_block = puzzle.prev_block;
        }
        if (current_buffer) {
            current_buffer->cleanup();
            current_buffer.reset();
        }
        const bool solved = preprocessPuzzle(puzzle, config_.geometry) && continuousMiningLoop(puzzle, config_.driver);
        if (solved)
            print_parts(std::cout, "🎉 Solution found for puzzle! Continuing to mine for more solutions...");
        else if (!stop_mining.load())
            print_parts(std::cout, "🔄 Mining interrupted, continuing in main loop...");
    } catch (const std::exception& error) {
        print_parts(std::cerr, "Error parsing puzzle from event: ", error.what());
        print_parts(std::cerr, "🔍 DEBUG: Failed event data in handleNewPuzzle: ", data);
    }
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
