// The one TCP connection to the miner bridge: one compact JSON object per line, both ways.
//
// Threads: the fetcher thread calls send_message, receive_message and has_buffered_line; the
// mining thread calls send_message only. A line is written whole under one lock, so the two
// writers never interleave. connect/disconnect run while no other thread uses the client.
//
// Waking a receive: interrupt() ends the receive wait in progress at once (or, when none is in
// progress, the next one). It is safe from any thread and from an asynchronous signal handler
// (a single write(2) on an eventfd), as long as the client exists. The receive it ends returns
// an empty object and prints nothing; several interrupts before one receive count as one. A line
// that is already buffered is still returned first. (Should the eventfd not be available, for
// want of descriptors, interrupt() does nothing and waits end at their timeout.)
#pragma once

#include <sys/time.h>

#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/line_buffer.h"

class CorvaneCudaMinerClient {
public:
    CorvaneCudaMinerClient(const std::string& host, int port);  // opens nothing
    ~CorvaneCudaMinerClient();                                  // closes the socket silently
    CorvaneCudaMinerClient(const CorvaneCudaMinerClient&) = delete;
    CorvaneCudaMinerClient& operator=(const CorvaneCudaMinerClient&) = delete;

    // host must be a dotted-quad IPv4 literal; no name lookup. Prints the outcome line.
    bool connect();
    void disconnect();

    // Serialises compactly (sorted keys, raw UTF-8) and writes the line with its line feed, whole.
    // Throws nlohmann::json's exception for a string that is not valid UTF-8.
    bool send_message(const nlohmann::json& message);

    // The next line as parsed JSON, or an empty object on any failure (each one reported on
    // standard error). Lines already buffered come back without waiting; otherwise each read
    // waits at most `timeout` seconds.
    nlohmann::json receive_message(float timeout);

    // True when a complete line is already buffered: the next receive_message returns it without
    // touching the socket.
    bool has_buffered_line() const { return received.has_line(); }

    void interrupt();

    int socket_descriptor() const { return socket_fd; }

private:
    bool wait_readable(const timeval& timeout, bool& woken);

    int socket_fd = -1;
    std::string host;
    int port;

    int wake_fd = -1;          // eventfd signalled by interrupt()
    std::mutex write_mutex;    // held for the whole write of one line
    LineBuffer received;       // fetcher thread only
};

// SO_RCVTIMEO for a timeout in seconds: whole seconds truncated, the rest in microseconds
// computed in single precision and truncated.
timeval receive_timeout_value(float seconds);

// The process's one client: set by the controller before its threads start, cleared after they
// end. Users test it for null.
extern std::unique_ptr<CorvaneCudaMinerClient> g_corvane_miner_client;
