#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace support {
namespace {

std::vector<std::string> merged_environment(const std::vector<std::string>& changes)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const size_t eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const std::string& change : changes) {
        const size_t eq = change.find('=');
        if (eq == std::string::npos)
            vars.erase(change);
        else
            vars[change.substr(0, eq)] = change.substr(eq + 1);
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Everything exec needs is built before the fork: the child only duplicates and execs.
    std::vector<std::string> args = argv;
    std::vector<std::string> env = merged_environment(environment);
    std::vector<char*> arg_ptrs = pointers(args);
    std::vector<char*> env_ptrs = pointers(env);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        execve(path.c_str(), arg_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

void ChildProcess::send_signal(int signal_number)
{
    if (!reaped_ && pid_ > 0) kill(pid_, signal_number);
}

bool ChildProcess::pump(std::chrono::milliseconds slice)
{
    pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0) fds[n++] = pollfd{out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[n++] = pollfd{err_fd_, POLLIN, 0};
    if (n == 0) return false;
    const int ready = poll(fds, n, static_cast<int>(slice.count()));
    if (ready <= 0) return true;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        int& fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
        std::string& sink = fds[i].fd == out_fd_ ? result_.out : result_.err;
        if (got > 0) {
            sink.append(buffer, static_cast<size_t>(got));
        } else {
            close(fd);
            fd = -1;
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result_.out.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!pump(std::min(left, std::chrono::milliseconds(50)))) return result_.out.find(text) != std::string::npos;
    }
    return true;
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
            break;
        }
        if (!pump(std::min(left, std::chrono::milliseconds(50)))) break;
    }
    if (!reaped_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        if (WIFEXITED(status)) {
            result_.exited = true;
            result_.exit_status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result_.term_signal = WTERMSIG(status);
        }
    }
    // Whatever is still in the pipes (after a kill at the deadline); bounded in case a pipe stays open.
    const auto drain_end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < drain_end && pump(std::chrono::milliseconds(10))) {
    }
    return result_;
}

ProcessResult run_process(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, std::chrono::milliseconds timeout)
{
    ChildProcess child(path, argv, environment);
    return child.wait(timeout);
}

}  // namespace support
