// A stand-in for the miner bridge on 127.0.0.1 (a free port, or the one given). A background thread
// takes connections one after another, records every line the miner sends and answers the n-th
// puzzle request (counted over all connections) with the script's n-th bytes; the test waits for
// the lines it expects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace support {

class TestBridge {
public:
    // The bytes that answer puzzle request n = 0, 1, ... (a reply line ends in its line feed).
    // Ending them in CLOSE closes the connection after the rest is written; in RESET, resets it.
    using Script = std::function<std::string(size_t request)>;
    static constexpr char CLOSE = '\x04';
    static constexpr char RESET = '\x18';
    static Script always(const std::string& line)
    {
        return [line](size_t) { return line + "\n"; };
    }

    explicit TestBridge(Script script = {}, int port = 0);  // no script: requests get no answer
    ~TestBridge();

    int port() const { return port_; }
    // Waits until `count` received lines contain `text`; returns the matching lines so far.
    std::vector<std::string> wait_for_lines(const std::string& text, size_t count,
                                            std::chrono::milliseconds timeout) const;
    std::string wait_for_line(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    void serve();
    void serve_connection(int fd);
    bool answer(int fd, const std::string& line);  // records and answers a line; false: the end

    int listen_fd_ = -1, port_ = 0, fd_ = -1;
    bool ending_ = false;
    Script script_;
    mutable std::mutex mutex_;
    mutable std::condition_variable seen_;
    std::vector<std::string> lines_;
    size_t requests_ = 0;
    std::thread server_;
};

// A port on 127.0.0.1 that refuses connections.
int closed_port();

inline std::string no_puzzle_reply() { return R"({"msg_type":"error","message":"No puzzle available"})"; }

}  // namespace support
