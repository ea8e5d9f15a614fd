// The one TCP connection to the miner bridge: one compact JSON object per line, both ways.
// A transport only: every outcome comes back as a value and nothing here prints; the callers word
// their own lines (src/miner/bridge_link.*, solution_submission.*).
//
// Threads: the fetcher thread connects, receives and reconnects; any thread may send. A line is
// written whole under one lock, and a (re)connect swaps the socket under the same lock, so a send
// never meets a half-replaced connection. disconnect runs once the other threads have ended.
//
// Failures: a failed send, the end of the stream or a socket error marks the connection failed
// (failure()); it stays so until the next successful connect. A receive timeout is no failure.
//
// Waking: interrupt() ends the receive or connect wait in progress at once (or, when none is in
// progress, the next one). It is safe from any thread and from an asynchronous signal handler (a
// single write(2) on an eventfd), as long as the client exists. Several interrupts before one wait
// count as one. (Without the eventfd, for want of descriptors, waits end at their timeout.)
#pragma once

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/line_buffer.h"

struct ConnectOutcome {
    enum class Status {
        CONNECTED,
        NO_SOCKET,    // socket(2) failed: `error` says why
        BAD_ADDRESS,  // the host is not a dotted-quad IPv4 literal; retrying cannot help
        FAILED,       // refused, unreachable or timed out: `error` says why
        INTERRUPTED,  // interrupt() ended the wait
    };
    Status status = Status::FAILED;
    int error = 0;  // errno
};

struct ReceivedLine {
    enum class Status {
        LINE,           // `line` holds the next line, without its line feed
        NOT_CONNECTED,  // no socket
        BAD_TIMEOUT,    // the socket refused the receive timeout (negative or NaN)
        TIMED_OUT,      // no complete line in time; the connection stays usable
        CLOSED,         // the bridge closed the connection: now failed
        FAILED,         // a socket error: now failed
        WOKEN,          // interrupt() ended the wait
    };
    Status status = Status::NOT_CONNECTED;
    std::string line;
    std::size_t dropped_lines = 0;  // over-long lines skipped on the way (LineBuffer)
};

// Why the current connection failed; NONE while it works.
enum class LinkFailure { NONE, SEND, CLOSED, RECEIVE };

class CorvaneCudaMinerClient {
public:
    CorvaneCudaMinerClient(const std::string& host, int port);  // opens nothing
    ~CorvaneCudaMinerClient();                                  // closes the socket
    CorvaneCudaMinerClient(const CorvaneCudaMinerClient&) = delete;
    CorvaneCudaMinerClient& operator=(const CorvaneCudaMinerClient&) = delete;

    // Opens a new connection, waiting at most `timeout`, and replaces the current one (closed,
    // its unread lines dropped) only once the new one is up. Sends time out after `send_timeout`,
    // so a bridge that stops reading cannot hold a writer (and the lock) for ever.
    ConnectOutcome connect(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                           std::chrono::milliseconds send_timeout = std::chrono::seconds(10));
    // Closes the connection; true when there was one.
    bool disconnect();

    // Serialises compactly (sorted keys, raw UTF-8) and writes the line with its line feed, whole.
    // False when it could not (no connection, or the bridge has closed or reset it): the
    // connection is then failed. Throws nlohmann::json's exception for a string that is not UTF-8.
    bool send_message(const nlohmann::json& message);

    // The next line. Lines already buffered come back without waiting; otherwise each read waits
    // at most `timeout` seconds (SO_RCVTIMEO is set to it, as receive_timeout_value says).
    ReceivedLine receive_message(float timeout);

    // True when a complete line is already buffered: the next receive returns it at once.
    bool has_buffered_line() const { return received.has_line(); }

    LinkFailure failure() const;
    int failure_error() const;  // errno of a SEND or RECEIVE failure
    bool connected() const { return socket_fd != -1 && failure() == LinkFailure::NONE; }  // fetcher thread

    void interrupt();

    const std::string& host_text() const { return host; }
    int port_number() const { return port; }
    int socket_descriptor() const { return socket_fd; }

private:
    enum class Wait { READY, TIMED_OUT, WOKEN, FAILED };
    Wait wait_for(int fd, short events, int total_ms);
    void mark_failed(LinkFailure failure, int error);

    int socket_fd = -1;  // written under write_mutex by the fetcher thread only
    std::string host;
    int port;

    int wake_fd = -1;                  // eventfd signalled by interrupt()
    std::mutex write_mutex;            // held for the whole write of one line and for a socket swap
    std::atomic<int> failure_{0};      // LinkFailure | errno << 8; the first failure wins
    LineBuffer received;               // fetcher thread only
};

// SO_RCVTIMEO for a timeout in seconds: whole seconds truncated, the rest in microseconds
// computed in single precision and truncated.
timeval receive_timeout_value(float seconds);
