// A stand-in for the miner bridge on 127.0.0.1 (a free port). Either the test drives a connection
// step by step through the Peer it accepts, or, given a script, the bridge answers on a background
// thread (the n-th puzzle request gets the script's n-th reply) and the test waits for the lines
// the miner sends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace support {

using namespace std::chrono_literals;

// The bridge's end of one accepted connection.
struct Peer {
    int fd = -1;
    std::string pending;  // received, not yet read as a line

    ~Peer() { close(); }
    bool send(const std::string& bytes) const;  // one write: one segment (TCP_NODELAY)
    // The next line without its line feed; nothing at the timeout or at the end of the stream.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = 5s);
    void close(bool reset = false);  // orderly, or abortive (RST: the client's writes fail)
};

class TestBridge {
public:
    // The reply line (without its line feed) to puzzle request n = 0, 1, ...; empty sends nothing.
    using Script = std::function<std::string(size_t request)>;

    TestBridge();
    explicit TestBridge(Script script);
    ~TestBridge();

    int port() const { return port_; }
    std::unique_ptr<Peer> accept();  // the next connection; null after 5 s

    size_t requests() const;
    // Waits until `count` received lines contain `text`; returns the matching lines so far.
    std::vector<std::string> wait_for_lines(const std::string& text, size_t count,
                                            std::chrono::milliseconds timeout) const;
    std::string wait_for_line(const std::string& text, std::chrono::milliseconds timeout) const;

    static Script always(const std::string& reply)
    {
        return [reply](size_t) { return reply; };
    }

private:
    void serve();

    int listen_fd_ = -1;
    int port_ = 0;
    Script script_;
    std::thread server_;
    mutable std::mutex mutex_;
    mutable std::condition_variable seen_;
    std::vector<std::string> lines_;
    size_t requests_ = 0;
    int serving_fd_ = -1;
    bool ending_ = false;
};

// A port on 127.0.0.1 that refuses connections.
int closed_port();

inline std::string no_puzzle_reply()
{
    return R"({"msg_type":"error","message":"No puzzle available"})";
}

}  // namespace support
