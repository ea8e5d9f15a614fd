#include "bridge/puzzle_message.h"

#include <iostream>

#include "diag/console_line.h"

namespace {

void read_path_list(const nlohmann::json& auth_paths, const char* key, std::vector<std::string>& out)
{
    if (!auth_paths.contains(key)) return;
    const nlohmann::json& list = auth_paths.at(key);
    // Iterating a non-array would visit the value itself; converting it raises the proper error.
    if (!list.is_array()) (void)list.get<std::vector<std::string>>();
    for (const nlohmann::json& element : list) out.push_back(element.get<std::string>());
}

}  // namespace

void read_auth_paths(const nlohmann::json& auth_paths, PowPuzzle::AuthPaths& out)
{
    read_path_list(auth_paths, "pow", out.pow);
    read_path_list(auth_paths, "header", out.header);
    read_path_list(auth_paths, "kernel", out.kernel);
}

nlohmann::json puzzle_request_message()
{
    nlohmann::json request = nlohmann::json::object();
    request["RequestPuzzle"] = nullptr;
    return request;
}

std::string canonical_puzzle_text(const PowPuzzle& puzzle)
{
    nlohmann::json paths = nlohmann::json::object();
    paths["header"] = puzzle.auth_paths.header;
    paths["kernel"] = puzzle.auth_paths.kernel;
    paths["pow"] = puzzle.auth_paths.pow;

    nlohmann::json canonical = nlohmann::json::object();
    canonical["auth_paths"] = std::move(paths);
    canonical["id"] = puzzle.id;
    canonical["prev_block"] = puzzle.prev_block;
    canonical["threshold"] = puzzle.threshold;
    canonical["total_guesser_reward"] = puzzle.total_guesser_reward;
    return canonical.dump();
}

PowPuzzle parsePowPuzzle(const std::string& text)
{
    PowPuzzle puzzle;
    try {
        const nlohmann::json value = nlohmann::json::parse(text);
        if (!value.is_object()) return puzzle;

        if (value.contains("auth_paths") && value.at("auth_paths").is_object()) {
            read_auth_paths(value.at("auth_paths"), puzzle.auth_paths);
        }
        if (value.contains("threshold")) puzzle.threshold = value.at("threshold").get<std::string>();
        if (value.contains("total_guesser_reward")) {
            const nlohmann::json& reward = value.at("total_guesser_reward");
            if (reward.is_string()) {
                puzzle.total_guesser_reward = reward.get<std::string>();
            } else if (reward.is_number()) {
                puzzle.total_guesser_reward = reward.dump();
            }
        }
        if (value.contains("id")) puzzle.id = value.at("id").get<std::string>();
        if (value.contains("prev_block")) puzzle.prev_block = value.at("prev_block").get<std::string>();
    } catch (const nlohmann::json::exception& error) {
        print_line(std::cerr, std::string("JSON parsing error: ") + error.what());
    }
    return puzzle;
}
