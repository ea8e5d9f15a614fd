#include "support/test_bridge.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace support {

TestBridge::TestBridge(Script script, int port) : script_(std::move(script))
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the kernel picks a free one
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int one = 1, small = 16384;  // small buffers: a long line takes many writes
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set before listen, so connections start with it: set after the accept, it shrank a window
    // already announced, and a 150 kB line took about a second to arrive.
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listen_fd_, 4) < 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        throw std::runtime_error("test bridge: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    server_ = std::thread(&TestBridge::serve, this);
}

TestBridge::~TestBridge()
{
    {
        // Wakes the server wherever it blocks: in accept or in a read of its connection.
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    server_.join();
    ::close(listen_fd_);
}

void TestBridge::serve()
{
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        serve_connection(fd);
    }
}

void TestBridge::serve_connection(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_) ::shutdown(fd, SHUT_RDWR);
        fd_ = fd;
    }
    bool open = true;
    std::string pending;
    char chunk[65536];
    for (ssize_t n; open && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t end; open && (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            open = answer(fd, pending.substr(0, end));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(fd);
    fd_ = -1;
}

bool TestBridge::answer(int fd, const std::string& line)
{
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        if (line.find("\"RequestPuzzle\"") != std::string::npos && script_) reply = script_(requests_++);
    }
    seen_.notify_all();
    const char last = reply.empty() ? '\0' : reply.back();
    if (last == CLOSE || last == RESET) reply.pop_back();
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    const linger abort_on_close{1, 0};
    if (last == RESET) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    return last != CLOSE && last != RESET;
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
