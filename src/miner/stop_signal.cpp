#include "miner/stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "diag/console_line.h"
#include "diag/log_file.h"
#include "miner/miner_state.h"

std::atomic<bool> stop_mining{false};

namespace {

constexpr unsigned char WATCHER_EXIT = 0;  // not a signal number: tells the watcher to end
constexpr int WATCHER_POLL_MS = 100;

std::atomic<int> signals_received{0};
std::atomic<int> wake_pipe_write{-1};
std::thread watcher;

std::mutex stop_mutex;
std::condition_variable stop_condition;

static_assert(std::atomic<int>::is_always_lock_free, "used inside the signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "stop_mining is set inside the signal handler");

void wake_sleepers()
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_condition.notify_all();
}

}  // namespace

namespace {

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void watch(int read_fd, MinerState* state)
{
    // The one thread that takes the stop signals: it waits in read() and never holds a lock the
    // handler could need, and no mining or polling call is ever interrupted.
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    for (;;) {
        // A bounded wait: runtimes that defer handlers to the thread's next library call (as
        // ThreadSanitizer does) still run it within the timeout.
        pollfd ready{read_fd, POLLIN, 0};
        if (poll(&ready, 1, WATCHER_POLL_MS) <= 0) continue;
        unsigned char signal_number = WATCHER_EXIT;
        const ssize_t got = read(read_fd, &signal_number, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || signal_number == WATCHER_EXIT) return;
        if (signal_number != SIGHUP) {
            state->stop_from_signal(signal_number);
        } else if (reopen_log_file()) {
            print_line(std::cout, "📝 Log file reopened");
        }
    }
}

}  // namespace

void signal_handler(int signal_number)
{
    const int saved_errno = errno;
    const int fd = wake_pipe_write.load();
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    if (signal_number == SIGHUP) {  // no stop: the watcher reopens the log file
        if (fd >= 0) {
            ssize_t ignored = write(fd, &byte, 1);
            (void)ignored;
        }
        errno = saved_errno;
        return;
    }
    // The shutdown is already under way and something hangs or the user insists: end now.
    if (signals_received.fetch_add(1) > 0) _exit(130);
    // The watcher sets the flag after the first line, so the stop is reported in its order; without
    // a watcher the flag is all a signal can do.
    if (fd < 0 || write(fd, &byte, 1) != 1) stop_mining.store(true);
    errno = saved_errno;
}

StopSignalWatcher::StopSignalWatcher(MinerState& state)
{
    // Blocked here and so in every thread started from now on (fetcher, GPU workers); only the
    // watcher unblocks them. A signal in between stays pending until then.
    const sigset_t signals = stop_signals();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        wake_pipe_write.store(fds[1]);
        watcher = std::thread(watch, fds[0], &state);
    } else {
        print_parts(std::cerr, "Warning: no stop watcher (", std::strerror(errno), "); signals only set the stop flag");
    }
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // interrupted system calls resume; waits end through the watcher
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (!watcher.joinable()) return;
    // The pipe stays open: a late signal still finds a valid descriptor, and nobody reads it.
    const unsigned char byte = WATCHER_EXIT;
    ssize_t ignored = write(wake_pipe_write.load(), &byte, 1);
    (void)ignored;
    watcher.join();
}

void stop_and_wake_sleepers()
{
    stop_mining.store(true);
    wake_sleepers();
}

bool sleep_unless_stopped(std::chrono::nanoseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::unique_lock<std::mutex> lock(stop_mutex);
    return stop_condition.wait_until(lock, deadline, [] { return stop_mining.load(); });
}
