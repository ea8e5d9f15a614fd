#include "support/bridge_input_check.h"

#include <exception>
#include <vector>

#include "bridge/bridge_reply.h"
#include "bridge/line_buffer.h"
#include "bridge/puzzle_message.h"
#include "bridge/reply_line.h"

namespace support {

std::string check_line_splitting(const std::string& bytes, std::size_t chunk, std::size_t max_line_bytes)
{
    std::vector<std::string> expected;
    for (std::size_t start = 0;;) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) break;
        if (end - start <= max_line_bytes) expected.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }

    LineBuffer buffer(max_line_bytes);
    std::vector<std::string> taken;
    std::string line;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
        buffer.append(bytes.data() + at, n);
        // Keep at most one complete line waiting, as the client does between reads.
        if (!buffer.has_line() && buffer.buffered_bytes() > max_line_bytes) {
            return "partial line of " + std::to_string(buffer.buffered_bytes()) + " bytes kept over the limit";
        }
        while (buffer.take_line(line)) {
            if (line.find('\n') != std::string::npos) return "line feed inside a taken line";
            taken.push_back(line);
        }
    }
    if (buffer.has_line()) return "complete line left behind";
    if (taken != expected) {
        return "took " + std::to_string(taken.size()) + " lines, expected " + std::to_string(expected.size());
    }
    return "";
}

std::string check_reply_line(const std::string& line)
{
    nlohmann::json reply;
    try {
        reply = parse_reply_line(line);
    } catch (const std::exception& error) {
        return std::string("reply parsing threw: ") + error.what();
    }
    if (!reply.is_object()) return "reply parsing returned a non-object";

    EventHandler events;
    std::string last_id;
    try {
        acceptBridgeReply(reply, events, last_id);
    } catch (const nlohmann::json::type_error&) {
        // A wrongly typed path element: the fetcher's cycle guard reports it.
    } catch (const std::exception& error) {
        return std::string("reply handling threw: ") + error.what();
    }
    MiningEvent event;
    while (events.waitForEvent(event, std::chrono::milliseconds(0))) {
        if (event.type != EventType::NEW_PUZZLE) continue;
        const PowPuzzle announced = parsePowPuzzle(event.data);
        if (announced.id != event.puzzle_id) return "announced id differs from the event's";
        if (canonical_puzzle_text(announced) != event.data) return "canonical text does not round-trip";
    }

    try {
        const PowPuzzle puzzle = parsePowPuzzle(line);
        if (parsePowPuzzle(canonical_puzzle_text(puzzle)) != puzzle) return "parsed puzzle does not round-trip";
    } catch (const std::exception& error) {
        return std::string("puzzle parsing threw: ") + error.what();
    }
    return "";
}

}  // namespace support
