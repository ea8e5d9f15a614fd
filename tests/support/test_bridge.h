// The scripted bridge in background mode, as the end-to-end tests use it: the n-th puzzle request
// gets the script's n-th reply, and the tests wait for the lines the miner sends.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/scripted_bridge.h"

namespace support {

class TestBridge {
public:
    // The reply line (without its line feed) for puzzle request n = 0, 1, ...; an empty text
    // sends nothing for that request.
    using Script = std::function<std::string(size_t request)>;

    explicit TestBridge(Script script);
    ~TestBridge();

    int port() const { return bridge_.port(); }
    size_t requests() const { return requests_.load(); }
    std::vector<std::string> lines() const { return bridge_.lines_seen(); }

    // Waits until `count` received lines contain `text`; returns the matching lines so far.
    std::vector<std::string> wait_for_lines(const std::string& text, size_t count,
                                            std::chrono::milliseconds timeout) const;
    // The first received line containing `text`, or empty at the deadline.
    std::string wait_for_line(const std::string& text, std::chrono::milliseconds timeout) const;

    static Script always(const std::string& reply)
    {
        return [reply](size_t) { return reply; };
    }

private:
    Script script_;
    std::atomic<size_t> requests_{0};
    ScriptedBridge bridge_;
};

// A port on 127.0.0.1 that refuses connections.
int closed_port();

std::string no_puzzle_reply();

}  // namespace support
