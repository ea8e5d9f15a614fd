#include "bridge/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iostream>

#include "bridge/reply_line.h"
#include "bridge/socket_writer.h"
#include "bridge/text_prefix.h"
#include "diag/console_line.h"

std::unique_ptr<CorvaneCudaMinerClient> g_corvane_miner_client;

namespace {

constexpr std::size_t kReceiveChunkBytes = 4096;  // one byte short of it is read per recv
constexpr std::size_t kLoggedCharacters = 100;

nlohmann::json nothing_usable() { return nlohmann::json::object(); }

// poll(2) wait matching SO_RCVTIMEO: a zero timeval waits without limit; never wait shorter.
int poll_milliseconds(const timeval& timeout)
{
    if (timeout.tv_sec == 0 && timeout.tv_usec == 0) return -1;
    const long long ms = static_cast<long long>(timeout.tv_sec) * 1000 + (timeout.tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
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

bool CorvaneCudaMinerClient::connect()
{
    if (socket_fd != -1) ::close(socket_fd);  // a second connect must not leak the first socket
    received = LineBuffer();

    socket_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket_fd < 0) {
        socket_fd = -1;
        print_line(std::cerr, "❌ Failed to create socket");
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) <= 0) {
        print_line(std::cerr, "❌ Invalid address: " + host);
        return false;
    }
    if (::connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        print_line(std::cerr, "❌ Failed to connect to bridge at " + host + ":" + std::to_string(port));
        return false;
    }
    print_line(std::cout, "✅ Connected to miner bridge at " + host + ":" + std::to_string(port));
    return true;
}

void CorvaneCudaMinerClient::disconnect()
{
    if (socket_fd == -1) return;
    ::close(socket_fd);
    socket_fd = -1;
    print_line(std::cout, "📡 Disconnected from miner bridge");
}

bool CorvaneCudaMinerClient::send_message(const nlohmann::json& message)
{
    const std::string text = message.dump();
    const std::string line = text + '\n';
    bool sent;
    {
        std::lock_guard<std::mutex> lock(write_mutex);
        sent = send_whole(socket_fd, line.data(), line.size());
    }
    if (!sent) {
        print_line(std::cerr, "❌ Failed to send message");
        return false;
    }
    print_line(std::cout, "📤 Sent: " + text_prefix(text, kLoggedCharacters) + "...");
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

bool CorvaneCudaMinerClient::wait_readable(const timeval& timeout, bool& woken)
{
    using Clock = std::chrono::steady_clock;
    const int total_ms = poll_milliseconds(timeout);
    const auto deadline = Clock::now() + std::chrono::milliseconds(total_ms < 0 ? 0 : total_ms);
    woken = false;
    for (;;) {
        int wait_ms = total_ms;
        if (total_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            wait_ms = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{socket_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;  // a signal is no reason to give up the wait
            return false;
        }
        if (ready == 0) continue;  // the deadline is checked above: poll may wake a little early
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            const ssize_t ignored = ::read(wake_fd, &count, sizeof count);  // consume the wake
            (void)ignored;
            woken = true;
            return false;
        }
        return true;  // data, end of stream or an error: recv tells which
    }
}

nlohmann::json CorvaneCudaMinerClient::receive_message(float timeout)
{
    if (socket_fd == -1) {
        print_line(std::cerr, "❌ Not connected to bridge");
        return nothing_usable();
    }
    const timeval wait = receive_timeout_value(timeout);
    if (::setsockopt(socket_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        print_line(std::cerr, "❌ Failed to set socket timeout");
        return nothing_usable();
    }

    std::string line;
    while (!received.take_line(line)) {
        bool woken = false;
        if (!wait_readable(wait, woken)) {
            if (!woken) print_line(std::cerr, "⏰ Timeout or error receiving response");
            return nothing_usable();
        }
        char chunk[kReceiveChunkBytes];
        const ssize_t count = ::recv(socket_fd, chunk, sizeof chunk - 1, 0);
        if (count == 0) {
            print_line(std::cerr, "❌ Connection closed by bridge");
            return nothing_usable();
        }
        if (count < 0) {
            if (errno == EINTR) continue;
            print_line(std::cerr, "⏰ Timeout or error receiving response");
            return nothing_usable();
        }
        const std::size_t dropped = received.append(chunk, static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < dropped; ++i) {
            print_line(std::cerr, "❌ Dropped a message from bridge longer than " +
                                      std::to_string(received.max_line_bytes()) + " bytes");
        }
    }

    return parse_reply_line(line);
}
