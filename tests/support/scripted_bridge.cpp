#include "support/scripted_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace support {

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits until `fd` is readable or `stop_fd` fires; true only for `fd`.
bool wait_readable(int fd, int stop_fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int ready = ::poll(fds, stop_fd >= 0 ? 2 : 1, milliseconds_left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (stop_fd >= 0 && (fds[1].revents & POLLIN)) return false;
        return true;
    }
}

bool write_all(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int accept_one(int listen_fd, int stop_fd, Clock::time_point deadline)
{
    if (listen_fd < 0 || !wait_readable(listen_fd, stop_fd, deadline)) return -1;
    const int fd = ::accept(listen_fd, nullptr, nullptr);
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

}  // namespace

ScriptedBridge::ScriptedBridge()
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("scripted bridge: socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the kernel picks a free port
    ::inet_pton(AF_INET, host_.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(listen_fd_, 4) < 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        ::close(listen_fd_);
        throw std::runtime_error("scripted bridge: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
}

ScriptedBridge::~ScriptedBridge()
{
    stop_serving();
    close_connection();
    stop_listening();
}

bool ScriptedBridge::accept(std::chrono::milliseconds timeout)
{
    close_connection();
    peer_fd_ = accept_one(listen_fd_, -1, Clock::now() + timeout);
    return peer_fd_ >= 0;
}

bool ScriptedBridge::fill(Clock::time_point deadline)
{
    if (peer_fd_ < 0 || !wait_readable(peer_fd_, -1, deadline)) return false;
    char chunk[65536];
    const ssize_t n = ::recv(peer_fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> ScriptedBridge::read_line(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::string ScriptedBridge::read_pending(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (fill(deadline)) {
    }
    std::string bytes;
    bytes.swap(pending_);
    return bytes;
}

bool ScriptedBridge::send(const std::string& bytes)
{
    return peer_fd_ >= 0 && write_all(peer_fd_, bytes);
}

bool ScriptedBridge::send_segments(const std::vector<std::string>& pieces, std::chrono::milliseconds gap)
{
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(gap);
        if (!send(pieces[i])) return false;
    }
    return true;
}

bool ScriptedBridge::set_receive_buffer(int bytes)
{
    return peer_fd_ >= 0 && ::setsockopt(peer_fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void ScriptedBridge::close_connection()
{
    if (peer_fd_ >= 0) ::close(peer_fd_);
    peer_fd_ = -1;
    pending_.clear();
}

void ScriptedBridge::reset_connection()
{
    if (peer_fd_ < 0) return;
    const linger abort_on_close{1, 0};
    ::setsockopt(peer_fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close_connection();
}

void ScriptedBridge::stop_listening()
{
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void ScriptedBridge::serve(Responder responder)
{
    stop_serving();
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    server_ = std::thread([this, responder = std::move(responder)] {
        const auto forever = Clock::now() + std::chrono::hours(24);
        while (true) {
            const int fd = accept_one(listen_fd_, stop_fd_, forever);
            if (fd < 0) return;
            std::string buffer;
            char chunk[65536];
            while (wait_readable(fd, stop_fd_, forever)) {
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                buffer.append(chunk, static_cast<std::size_t>(n));
                for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                    const std::string line = buffer.substr(0, end);
                    buffer.erase(0, end + 1);
                    {
                        std::lock_guard<std::mutex> lock(seen_mutex_);
                        seen_.push_back(line);
                    }
                    const std::string answer = responder(line);
                    if (!answer.empty()) write_all(fd, answer);
                }
            }
            ::close(fd);
            std::uint64_t fired = 0;
            if (::read(stop_fd_, &fired, sizeof fired) == sizeof fired) return;  // stop requested
        }
    });
}

void ScriptedBridge::stop_serving()
{
    if (!server_.joinable()) return;
    const std::uint64_t one = 1;
    const ssize_t ignored = ::write(stop_fd_, &one, sizeof one);
    (void)ignored;
    server_.join();
    ::close(stop_fd_);
    stop_fd_ = -1;
}

std::vector<std::string> ScriptedBridge::lines_seen() const
{
    std::lock_guard<std::mutex> lock(seen_mutex_);
    return seen_;
}

}  // namespace support
