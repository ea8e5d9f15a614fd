// Writes a whole buffer to a stream socket: a short write is continued, an interrupted one
// retried, and a peer that has gone away is an error result rather than SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstddef>

using SendFunction = ssize_t (*)(int fd, const void* data, std::size_t size, int flags);

// True when every byte was accepted by the socket. `send_function` is ::send outside tests.
bool send_whole(int fd, const char* data, std::size_t size, SendFunction send_function = nullptr);
