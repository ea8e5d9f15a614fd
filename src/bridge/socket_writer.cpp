#include "bridge/socket_writer.h"

#include <sys/socket.h>

#include <cerrno>

bool send_whole(int fd, const char* data, std::size_t size, SendFunction send_function)
{
    if (send_function == nullptr) send_function = ::send;
    while (size > 0) {
        const ssize_t written = send_function(fd, data, size, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;  // no progress on a non-empty buffer: give up, never spin
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
