// Stop requests. SIGINT and SIGTERM reach `signal_handler`, which does only what is safe inside a
// signal: it writes the signal number into a pipe (and sets `stop_mining` itself only when there
// is no watcher). A watcher thread reads the pipe and does the rest outside the signal context, in
// order: the first line, `stop_mining`, the stop event with every wait woken that should end on a
// stop, the session summary. A second signal ends the process at once (130). SIGHUP stops nothing:
// the watcher reopens the log file (after logrotate moved it), when there is one.
#pragma once

#include <atomic>
#include <chrono>

class MinerState;

// Set once by the stop request, never cleared; read by every loop of the miner. The one piece of
// state a signal handler touches, so it stays process-wide.
extern std::atomic<bool> stop_mining;

void signal_handler(int signal_number);

// Installs signal_handler for SIGINT, SIGTERM and SIGHUP and runs the watcher for the lifetime of the
// object; create it before any other thread. The signals are delivered to the watcher thread only
// (blocked in the creating thread and so in every thread it starts later); after the watcher has
// ended they stay blocked, so the process finishes its teardown undisturbed. The stop of a signal
// is carried out on `state`, which must outlive the watcher.
class StopSignalWatcher {
public:
    explicit StopSignalWatcher(MinerState& state);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;
};

// Sets `stop_mining` and wakes every sleep_unless_stopped.
void stop_and_wake_sleepers();

// Sleeps for `duration`, resuming after interruptions; returns early, with true, once a stop has
// been requested.
bool sleep_unless_stopped(std::chrono::nanoseconds duration);
