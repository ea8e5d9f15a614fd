#include "bridge/puzzle_check.h"

#include <algorithm>
#include <cctype>

#include "bridge/text_prefix.h"
#include "hash/field.h"

namespace {

// hex_to_digest reads pairs like "1g" and drops digits past the 80th without a word, so a text it
// would misread is refused here.
std::string hexTextError(const std::string& text)
{
    const std::string hex = text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
    if (hex.empty()) return "is empty";
    if (hex.size() > DIGEST_HEX_LENGTH) return "has more than 80 hex digits";
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "is not hexadecimal";
    return "";
}

std::string pathTextError(const std::string& text)
{
    const std::string error = hexTextError(text);
    if (!error.empty()) return error;
    const Digest digest = hex_to_digest(text);
    for (int i = 0; i < Digest::LENGTH; ++i)
        if (digest[i] >= field::P) return "holds element " + std::to_string(i) + " >= p";
    return "";
}

}  // namespace

std::string checkPuzzle(const PowPuzzle& puzzle, CheckedPuzzle& out)
{
    struct Path {
        const char* name;
        const std::vector<std::string>& texts;
        size_t used;
    };
    const Path paths[] = {{"pow", puzzle.auth_paths.pow, 3},
                          {"header", puzzle.auth_paths.header, 2},
                          {"kernel", puzzle.auth_paths.kernel, 1}};
    for (const Path& path : paths) {
        if (path.texts.size() < path.used)
            return std::string("auth path ") + path.name + " has " + std::to_string(path.texts.size()) + " of " +
                   std::to_string(path.used) + " entries";
        for (size_t i = 0; i < path.used; ++i) {
            const std::string reason = pathTextError(path.texts[i]);
            if (!reason.empty())
                return std::string("auth path ") + path.name + "[" + std::to_string(i) + "] " + reason;
        }
    }
    const std::string& threshold = puzzle.threshold;
    if (threshold.empty()) return "threshold is missing";
    const bool array_form = threshold.front() == '[' && threshold.back() == ']';
    if (!array_form) {
        const std::string reason = hexTextError(threshold);
        if (!reason.empty()) return "threshold " + reason;
    }

    out.id = puzzle.id;
    out.prev_block = puzzle.prev_block;
    out.total_guesser_reward = puzzle.total_guesser_reward;
    out.threshold_text = threshold;
    out.threshold = parseDigestString(threshold);
    out.mast_paths = convertToPowMastPaths(puzzle.auth_paths);
    return "";
}

std::string checkPuzzleMembers(const nlohmann::json& puzzle)
{
    if (!puzzle.contains("auth_paths")) return "auth_paths is missing";
    if (!puzzle.at("auth_paths").is_object()) return "auth_paths is not an object";
    if (puzzle.contains("threshold")) {
        const nlohmann::json& threshold = puzzle.at("threshold");
        if (!threshold.is_string() && !threshold.is_array()) return "threshold is not text: " + text_prefix(threshold.dump(), 32);
    }
    return "";
}
