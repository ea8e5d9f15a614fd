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
    // argv[0] is passed as given (the program name the child sees). `environment` entries are
    // "NAME=value" to set or "NAME" to remove, applied over this process's environment.
    ChildProcess(const std::string& path, const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();  // a child still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send_signal(int signal_number);
    // Reads until standard output holds `text`; false at the deadline or when the child ended first.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
    // Reads until the child ends (killing it at the deadline) and returns everything.
    ProcessResult wait(std::chrono::milliseconds timeout);

    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

private:
    // Moves whatever is ready into the buffers, waiting at most `slice`; false once both pipes closed.
    bool pump(std::chrono::milliseconds slice);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    ProcessResult result_;
};

// Runs to completion: the common case.
ProcessResult run_process(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace support
