#pragma once

#include <sys/un.h>

#include <cstddef>

// Whole-buffer transfers on a stream socket: retried on EINTR and short
// counts, never raising SIGPIPE. On failure `error` holds errno (EPIPE or
// ECONNRESET when the peer closed).
namespace LinuxSocketIo {

bool sendAll(int fd, const char* data, size_t length, int& error);
bool receiveAll(int fd, char* data, size_t length, int& error);

// Whether a server still accepts connections on the socket at `address`
// (a socket file left behind by an ended server accepts none).
bool someoneListens(const sockaddr_un& address);

}  // namespace LinuxSocketIo
