#include "support/test_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace support {
namespace {

bool send_all(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One read into `pending`, waiting at most until `deadline`; false at the deadline or the end.
bool read_more(int fd, std::string& pending, std::chrono::steady_clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (ms.count() <= 0 || ::poll(&ready, 1, static_cast<int>(ms.count())) != 1) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) pending.append(chunk, static_cast<size_t>(n));
    return n > 0;
}

std::optional<std::string> take_line(std::string& pending)
{
    const size_t end = pending.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return line;
}

}  // namespace

bool Peer::send(const std::string& bytes) const
{
    return send_all(fd, bytes);
}

std::optional<std::string> Peer::read_line(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending.find('\n') == std::string::npos)
        if (!read_more(fd, pending, deadline)) return std::nullopt;
    return take_line(pending);
}

void Peer::close(bool reset)
{
    const linger abort_on_close{1, 0};
    if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    if (fd >= 0) ::close(fd);
    fd = -1;
}

TestBridge::TestBridge()
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the kernel picks a free one
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listen_fd_, 4) < 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        throw std::runtime_error("test bridge: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
}

TestBridge::TestBridge(Script script) : TestBridge()
{
    script_ = std::move(script);
    server_ = std::thread(&TestBridge::serve, this);
}

TestBridge::~TestBridge()
{
    {
        // Wakes the server wherever it blocks: in accept or in a read of its connection.
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (serving_fd_ >= 0) ::shutdown(serving_fd_, SHUT_RDWR);
    }
    if (server_.joinable()) server_.join();
    ::close(listen_fd_);
}

std::unique_ptr<Peer> TestBridge::accept()
{
    pollfd ready{listen_fd_, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) return nullptr;
    auto peer = std::make_unique<Peer>();
    peer->fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    const int one = 1;
    ::setsockopt(peer->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return peer;
}

void TestBridge::serve()
{
    for (int fd; (fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ending_) ::shutdown(fd, SHUT_RDWR);
            serving_fd_ = fd;
        }
        std::string pending;
        char chunk[65536];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            pending.append(chunk, static_cast<size_t>(n));
            for (std::optional<std::string> line; (line = take_line(pending));) {
                std::string reply;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(*line);
                    if (line->find("\"RequestPuzzle\"") != std::string::npos) reply = script_(requests_++);
                }
                seen_.notify_all();
                if (!reply.empty()) send_all(fd, reply + "\n");
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        serving_fd_ = -1;
    }
}

size_t TestBridge::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> TestBridge::wait_for_lines(const std::string& text, size_t count,
                                                    std::chrono::milliseconds timeout) const
{
    std::vector<std::string> found;
    std::unique_lock<std::mutex> lock(mutex_);
    seen_.wait_for(lock, timeout, [&] {
        found.clear();
        for (const std::string& line : lines_)
            if (line.find(text) != std::string::npos) found.push_back(line);
        return found.size() >= count;
    });
    return found;
}

std::string TestBridge::wait_for_line(const std::string& text, std::chrono::milliseconds timeout) const
{
    const std::vector<std::string> found = wait_for_lines(text, 1, timeout);
    return found.empty() ? std::string() : found.front();
}

int closed_port()
{
    return TestBridge().port();  // refused once the bridge is gone
}

}  // namespace support
