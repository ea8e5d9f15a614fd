#include "bridge/reply_line.h"

#include <iostream>
#include <stdexcept>

#include "bridge/json_depth.h"
#include "bridge/text_prefix.h"
#include "diag/console_line.h"

namespace {

constexpr std::size_t kLoggedCharacters = 100;
constexpr std::size_t kLoggedIdCharacters = 32;

}  // namespace

nlohmann::json parse_reply_line(const std::string& line, bool echo)
{
    if (echo) print_line(std::cout, "📥 Raw response: " + text_prefix(line, kLoggedCharacters) + "...");
    try {
        if (json_nesting_exceeds(line)) {
            throw std::runtime_error("nesting deeper than " + std::to_string(kMaxBridgeJsonDepth) + " levels");
        }
        nlohmann::json parsed = nlohmann::json::parse(line);
        const std::string type = parsed.value("msg_type", "unknown");
        if (echo) print_line(std::cout, "📥 Message type: " + type);
        if (type == "pow_puzzle_v1") {
            // operator[] adds a null "puzzle" when absent, and value() on null throws: such a
            // reply ends as a parse failure.
            const std::string id = parsed["puzzle"].value("id", "NO_ID");
            if (echo) print_line(std::cout, "🎯 Received puzzle with ID: " + text_prefix(id, kLoggedIdCharacters) + "...");
        } else if (type == "error") {
            if (echo) print_line(std::cout, "❌ Bridge error: " + parsed.value("message", "Unknown error"));
        }
        return parsed;
    } catch (const std::exception& error) {
        print_line(std::cerr, std::string("❌ Failed to parse JSON response: ") + error.what());
        return nlohmann::json::object();
    }
}
