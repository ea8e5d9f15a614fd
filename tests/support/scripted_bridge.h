// A stand-in for the miner bridge on 127.0.0.1 (a free port), driven by the test step by step:
// accept the client, read the lines it sends, write scripted bytes (one write, or pieces that
// arrive as separate reads), close or reset. For tests that run the miner's own loops, serve()
// answers every line from a background thread instead.
//
// The step-by-step calls belong to one thread; serve() takes over the connection until
// stop_serving(), and the two modes are not mixed while it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace support {

class ScriptedBridge {
public:
    ScriptedBridge();  // listens at once; throws std::runtime_error when it cannot
    ~ScriptedBridge();
    ScriptedBridge(const ScriptedBridge&) = delete;
    ScriptedBridge& operator=(const ScriptedBridge&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }

    // Takes the next connection (closing a previous one). False at the timeout.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The next line from the client, without its line feed; nothing at the timeout or when the
    // client closed before a line feed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Bytes that arrived after the last line read, waiting up to `timeout` for more.
    std::string read_pending(std::chrono::milliseconds timeout);

    // One write (TCP_NODELAY, so it leaves as one segment: "a\nb\n" gives two replies at once).
    bool send(const std::string& bytes);
    // Each piece its own write, `gap` apart, so the client reads them separately.
    bool send_segments(const std::vector<std::string>& pieces,
                       std::chrono::milliseconds gap = std::chrono::milliseconds(50));

    // Shrinks the kernel's receive buffer of the accepted connection, so a writer blocks sooner.
    bool set_receive_buffer(int bytes);

    void close_connection();  // orderly close: the client reads end of stream
    void reset_connection();  // abortive close (RST): the client's next write fails
    void stop_listening();    // later connection attempts are refused

    // Background mode: accepts connections one after another and writes responder(line) for every
    // line read (nothing for an empty answer). The answer may hold several lines or none.
    using Responder = std::function<std::string(const std::string& line)>;
    void serve(Responder responder);
    void stop_serving();
    std::vector<std::string> lines_seen() const;  // every line read by serve(), in order

private:
    bool fill(std::chrono::steady_clock::time_point deadline);  // one read into pending_

    std::string host_ = "127.0.0.1";
    int port_ = 0;
    int listen_fd_ = -1;
    int peer_fd_ = -1;
    std::string pending_;

    std::thread server_;
    int stop_fd_ = -1;  // eventfd that ends serve()
    mutable std::mutex seen_mutex_;
    std::vector<std::string> seen_;
};

}  // namespace support
