// Stop requests. SIGINT and SIGTERM reach `signal_handler`, which does only what is safe inside a
// signal: it writes the signal number into a pipe (and sets `stop_mining` itself only when there
// is no watcher). A watcher thread reads the pipe and does the rest outside the signal context, in
// order: the first line, `stop_mining`, the stop event with every wait woken that should end on a
// stop, the session summary. A second signal ends the process at once (130).
#pragma once

#include <chrono>
#include <mutex>

void signal_handler(int signal_number);

// Installs signal_handler for SIGINT and SIGTERM and runs the watcher for the lifetime of the
// object; create it before any other thread. The signals are delivered to the watcher thread only
// (blocked in the creating thread and so in every thread it starts later); after the watcher has
// ended they stay blocked, so the process finishes its teardown undisturbed.
class StopSignalWatcher {
public:
    StopSignalWatcher();
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;
};

// Held while `event_handler` or `g_corvane_miner_client` is replaced or destroyed, and while the
// stop path uses them from its own thread.
std::mutex& stop_targets_mutex();

// What the watcher does for a signal, less the lines: sets `stop_mining`, ends the client's
// receive wait in progress and wakes every sleep_unless_stopped. Posts no event.
void request_stop();

// The watcher's work for one signal, in order: "Received signal N. Shutting down gracefully...",
// request_stop, the stop event (when the queue exists), the session summary.
void stop_from_signal(int signal_number);

// Sleeps for `duration`, resuming after interruptions; returns early, with true, once a stop has
// been requested.
bool sleep_unless_stopped(std::chrono::nanoseconds duration);
