#include "bridge/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>

#include "bridge/socket_writer.h"

namespace {

constexpr std::size_t kReceiveChunkBytes = 4096;  // one byte short of it is read per recv

// poll(2) wait matching SO_RCVTIMEO: a zero timeval waits without limit; never wait shorter.
int poll_milliseconds(const timeval& timeout)
{
    if (timeout.tv_sec == 0 && timeout.tv_usec == 0) return -1;
    const long long ms = static_cast<long long>(timeout.tv_sec) * 1000 + (timeout.tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int clamp_milliseconds(std::chrono::milliseconds duration)
{
    const long long ms = duration.count();
    return ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

timeval receive_timeout_value(float seconds)
{
    timeval value{};
    if (std::isnan(seconds)) {
        value.tv_usec = -1;  // refused by setsockopt, like any negative timeout
        return value;
    }
    // Keep the float-to-integer conversion defined for absurd values (about 31,700 years).
    if (seconds > 1e12f) seconds = 1e12f;
    if (seconds < -1e12f) seconds = -1e12f;
    value.tv_sec = static_cast<time_t>(seconds);
    value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<float>(value.tv_sec)) * 1000000.0f);
    return value;
}

CorvaneCudaMinerClient::CorvaneCudaMinerClient(const std::string& host, int port)
    : host(host), port(port), wake_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

CorvaneCudaMinerClient::~CorvaneCudaMinerClient()
{
    if (socket_fd != -1) ::close(socket_fd);
    if (wake_fd != -1) ::close(wake_fd);
}

ConnectOutcome CorvaneCudaMinerClient::connect(std::chrono::milliseconds timeout, std::chrono::milliseconds send_timeout)
{
    using S = ConnectOutcome::Status;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) <= 0) return {S::BAD_ADDRESS, 0};

    // Non-blocking while connecting, so the wait has a limit and a stop can end it.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return {S::NO_SOCKET, errno};
    auto give_up = [fd](S status, int error) {
        ::close(fd);
        return ConnectOutcome{status, error};
    };
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        if (errno != EINPROGRESS) return give_up(S::FAILED, errno);
        switch (wait_for(fd, POLLOUT, clamp_milliseconds(timeout))) {
        case Wait::TIMED_OUT:
            return give_up(S::FAILED, ETIMEDOUT);
        case Wait::WOKEN:
            return give_up(S::INTERRUPTED, 0);
        case Wait::FAILED:
            return give_up(S::FAILED, errno);
        case Wait::READY:
            break;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
        if (error != 0) return give_up(S::FAILED, error);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    const timeval send_wait = receive_timeout_value(static_cast<float>(send_timeout.count()) / 1000.0f);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait) < 0)
        return give_up(S::FAILED, errno);

    int previous;
    {
        std::lock_guard<std::mutex> lock(write_mutex);
        previous = socket_fd;
        socket_fd = fd;
        failure_.store(0);
    }
    if (previous != -1) ::close(previous);
    received = LineBuffer();
    return {S::CONNECTED, 0};
}

bool CorvaneCudaMinerClient::disconnect()
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(write_mutex);  // no send is using the descriptor then
        fd = socket_fd;
        socket_fd = -1;
    }
    if (fd == -1) return false;
    ::close(fd);
    received = LineBuffer();
    return true;
}

void CorvaneCudaMinerClient::mark_failed(LinkFailure failure, int error)
{
    int none = 0;
    failure_.compare_exchange_strong(none, static_cast<int>(failure) | (error << 8));
}

LinkFailure CorvaneCudaMinerClient::failure() const
{
    return static_cast<LinkFailure>(failure_.load() & 0xFF);
}

int CorvaneCudaMinerClient::failure_error() const
{
    return failure_.load() >> 8;
}

bool CorvaneCudaMinerClient::send_message(const nlohmann::json& message)
{
    const std::string line = message.dump() + '\n';
    std::lock_guard<std::mutex> lock(write_mutex);
    if (socket_fd == -1 || failure() != LinkFailure::NONE) return false;
    // A bridge that has closed its end would still take one line into the socket buffer and lose
    // it: a line for a connection known to be gone is not written at all.
    pollfd peer{socket_fd, POLLRDHUP, 0};
    if (::poll(&peer, 1, 0) > 0 && (peer.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        mark_failed(LinkFailure::CLOSED, 0);
        return false;
    }
    if (!send_whole(socket_fd, line.data(), line.size())) {
        mark_failed(LinkFailure::SEND, errno);
        return false;
    }
    return true;
}

void CorvaneCudaMinerClient::interrupt()
{
    if (wake_fd == -1) return;
    const int saved_errno = errno;  // may run inside a signal handler
    const std::uint64_t one = 1;
    const ssize_t ignored = ::write(wake_fd, &one, sizeof one);  // full counter: a wake is pending anyway
    (void)ignored;
    errno = saved_errno;
}

CorvaneCudaMinerClient::Wait CorvaneCudaMinerClient::wait_for(int fd, short events, int total_ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(total_ms < 0 ? 0 : total_ms);
    for (;;) {
        int wait_ms = total_ms;
        if (total_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Wait::TIMED_OUT;
            wait_ms = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;  // a signal is no reason to give up the wait
            return Wait::FAILED;
        }
        if (ready == 0) continue;  // the deadline is checked above: poll may wake a little early
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            const ssize_t ignored = ::read(wake_fd, &count, sizeof count);  // consume the wake
            (void)ignored;
            return Wait::WOKEN;
        }
        return Wait::READY;  // ready, end of stream or an error: the next call tells which
    }
}

ReceivedLine CorvaneCudaMinerClient::receive_message(float timeout)
{
    using S = ReceivedLine::Status;
    ReceivedLine result;
    if (socket_fd == -1) return result;
    const timeval wait = receive_timeout_value(timeout);
    if (::setsockopt(socket_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        result.status = S::BAD_TIMEOUT;
        return result;
    }
    while (!received.take_line(result.line)) {
        switch (wait_for(socket_fd, POLLIN, poll_milliseconds(wait))) {
        case Wait::TIMED_OUT:
            result.status = S::TIMED_OUT;
            return result;
        case Wait::WOKEN:
            result.status = S::WOKEN;
            return result;
        case Wait::FAILED:
            mark_failed(LinkFailure::RECEIVE, errno);
            result.status = S::FAILED;
            return result;
        case Wait::READY:
            break;
        }
        char chunk[kReceiveChunkBytes];
        const ssize_t count = ::recv(socket_fd, chunk, sizeof chunk - 1, 0);
        if (count == 0) {
            mark_failed(LinkFailure::CLOSED, 0);
            result.status = S::CLOSED;
            return result;
        }
        if (count < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                result.status = S::TIMED_OUT;
                return result;
            }
            mark_failed(LinkFailure::RECEIVE, errno);
            result.status = S::FAILED;
            return result;
        }
        result.dropped_lines += received.append(chunk, static_cast<std::size_t>(count));
    }
    result.status = S::LINE;
    return result;
}
