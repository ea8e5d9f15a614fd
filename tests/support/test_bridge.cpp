#include "support/test_bridge.h"

#include <thread>

namespace support {

TestBridge::TestBridge(Script script) : script_(std::move(script))
{
    bridge_.serve([this](const std::string& line) {
        if (line.find("\"RequestPuzzle\"") == std::string::npos) return std::string();
        const std::string reply = script_(requests_++);
        return reply.empty() ? reply : reply + "\n";
    });
}

TestBridge::~TestBridge()
{
    bridge_.stop_serving();
}

std::vector<std::string> TestBridge::wait_for_lines(const std::string& text, size_t count,
                                                    std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<std::string> found;
        for (const std::string& line : bridge_.lines_seen())
            if (line.find(text) != std::string::npos) found.push_back(line);
        if (found.size() >= count || std::chrono::steady_clock::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string TestBridge::wait_for_line(const std::string& text, std::chrono::milliseconds timeout) const
{
    const std::vector<std::string> found = wait_for_lines(text, 1, timeout);
    return found.empty() ? std::string() : found.front();
}

int closed_port()
{
    ScriptedBridge bridge;
    bridge.stop_listening();
    return bridge.port();
}

std::string no_puzzle_reply()
{
    return R"({"msg_type":"error","message":"No puzzle available"})";
}

}  // namespace support
