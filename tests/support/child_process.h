// A child process with its standard output and error captured: how tests run the emulated
// executable (CRV_MINER_EMU) and look at its lines, exit status and signals.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace support {

struct ProcessResult {
    bool exited = false;     // ended by exit(); exit_status is valid
    int exit_status = -1;
    int term_signal = 0;     // the signal that ended it, when not exited
    bool timed_out = false;  // killed by us at the deadline
    std::string out;
    std::string err;
};

class ChildProcess {
public:
    // argv[0] is passed as given. `environment` entries are "NAME=value" to set or "NAME" to
    // remove, applied over this process's environment.
    ChildProcess(const std::string& path, const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();  // a child still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send_signal(int signal_number);
    // Reads until standard output (or error) holds `text`; false at the deadline or when the child
    // ended first.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout, bool error_stream = false);
    // Waits for the child to end (killing it at the deadline) and returns everything.
    ProcessResult wait(std::chrono::milliseconds timeout);

    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

private:
    bool running(std::chrono::steady_clock::time_point deadline);  // reads the output so far

    pid_t pid_ = -1;
    int files_[2] = {-1, -1};  // the child's standard output and error: unlinked temporary files
    int status_ = -1;          // from waitpid once reaped
    ProcessResult result_;
};

ProcessResult run_process(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace support
