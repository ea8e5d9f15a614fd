#include "bridge_input_properties.h"

#include <cstring>
#include <exception>
#include <vector>

#include "bridge/bridge_reply.h"
#include "bridge/line_buffer.h"
#include "bridge/puzzle_check.h"
#include "bridge/puzzle_message.h"
#include "bridge/reply_line.h"

namespace support {
namespace {

bool same(const CheckedPuzzle& a, const CheckedPuzzle& b)
{
    return a.id == b.id && a.prev_block == b.prev_block && a.total_guesser_reward == b.total_guesser_reward &&
           a.threshold_text == b.threshold_text && a.threshold == b.threshold &&
           std::memcmp(&a.mast_paths, &b.mast_paths, sizeof a.mast_paths) == 0;
}

}  // namespace

std::string check_line_splitting(const std::string& bytes, std::size_t chunk, std::size_t max_line_bytes)
{
    std::vector<std::string> expected;
    for (std::size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1)
        if (end - start <= max_line_bytes) expected.push_back(bytes.substr(start, end - start));

    LineBuffer buffer(max_line_bytes);
    std::vector<std::string> taken;
    std::string line;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        buffer.append(bytes.data() + at, std::min(chunk, bytes.size() - at));
        // The client takes every complete line before it reads again.
        if (!buffer.has_line() && buffer.buffered_bytes() > max_line_bytes) return "partial line kept over the limit";
        while (buffer.take_line(line)) taken.push_back(line);
    }
    if (taken != expected)
        return "took " + std::to_string(taken.size()) + " lines, expected " + std::to_string(expected.size());
    return "";
}

std::string check_reply_line(const std::string& line)
{
    try {
        const nlohmann::json reply = parse_reply_line(line);
        if (!reply.is_object()) return "reply parsing returned a non-object";
        BridgeReply accepted;
        try {
            accepted = acceptBridgeReply(reply, "");
        } catch (const nlohmann::json::type_error&) {
            // A wrongly typed path element: the fetcher's cycle guard reports it.
        }
        if (accepted.outcome == ReplyOutcome::NEW_PUZZLE) {
            const PowPuzzle announced = parsePowPuzzle(accepted.canonical_text);
            if (canonical_puzzle_text(announced) != accepted.canonical_text) return "canonical text does not round-trip";
            CheckedPuzzle again;
            if (!checkPuzzle(announced, again).empty() || !same(again, accepted.puzzle) ||
                accepted.puzzle_id != accepted.puzzle.id)
                return "the checked record differs from its canonical text";
        }
        const PowPuzzle puzzle = parsePowPuzzle(line);
        if (parsePowPuzzle(canonical_puzzle_text(puzzle)) != puzzle) return "parsed puzzle does not round-trip";
    } catch (const std::exception& error) {
        return std::string("escaped: ") + error.what();
    }
    return "";
}

}  // namespace support
