#pragma once

#include <cstddef>

// Whole-buffer transfers on a stream socket: retried on EINTR and short
// counts, never raising SIGPIPE. On failure `error` holds errno (EPIPE or
// ECONNRESET when the peer closed).
namespace LinuxSocketIo {

bool sendAll(int fd, const char* data, size_t length, int& error);
bool receiveAll(int fd, char* data, size_t length, int& error);

}  // namespace LinuxSocketIo
