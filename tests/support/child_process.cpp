#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace support {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment)
{
    std::vector<std::string> args = argv, env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    for (const std::string& change : environment) {
        const std::string prefix = change.substr(0, change.find('=')) + "=";
        env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }),
                  env.end());
        if (change.find('=') != std::string::npos) env.push_back(change);
    }
    // Files, not pipes: the child never blocks on output the test is not reading yet.
    for (int& fd : files_) {
        char name[] = "/tmp/crv-child-XXXXXX";
        if ((fd = mkostemp(name, O_CLOEXEC)) < 0) throw std::runtime_error("no temporary file");
        unlink(name);
    }
    // Everything exec needs is built before the fork: the child only duplicates and execs.
    std::vector<char*> arg_ptrs, env_ptrs;
    for (std::string& a : args) arg_ptrs.push_back(a.data());
    for (std::string& e : env) env_ptrs.push_back(e.data());
    arg_ptrs.push_back(nullptr);
    env_ptrs.push_back(nullptr);
    if ((pid_ = fork()) < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(files_[0], STDOUT_FILENO);
        dup2(files_[1], STDERR_FILENO);
        execve(path.c_str(), arg_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (status_ == -1) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    for (int fd : files_) close(fd);
}

void ChildProcess::send_signal(int signal_number)
{
    if (status_ == -1) kill(pid_, signal_number);
}

bool ChildProcess::running(std::chrono::steady_clock::time_point deadline)
{
    if (status_ == -1 && waitpid(pid_, &status_, WNOHANG) != pid_) status_ = -1;
    for (int i = 0; i < 2; ++i) {
        std::string& text = i == 0 ? result_.out : result_.err;
        char buffer[4096];
        for (ssize_t n; (n = pread(files_[i], buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
            text.append(buffer, static_cast<size_t>(n));
    }
    const bool alive = status_ == -1 && std::chrono::steady_clock::now() < deadline;
    if (alive) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return alive;
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout, bool error_stream)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string& stream = error_stream ? result_.err : result_.out;
    while (running(deadline) && stream.find(text) == std::string::npos) {
    }
    return stream.find(text) != std::string::npos;
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running(deadline)) {
    }
    if ((result_.timed_out = status_ == -1)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        running(deadline);
    }
    result_.exited = WIFEXITED(status_);
    result_.exit_status = result_.exited ? WEXITSTATUS(status_) : -1;
    result_.term_signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    return result_;
}

ProcessResult run_process(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, std::chrono::milliseconds timeout)
{
    return ChildProcess(path, argv, environment).wait(timeout);
}

}  // namespace support
