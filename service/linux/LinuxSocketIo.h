#pragma once

#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

// Whole-buffer transfers on a stream socket: retried on EINTR and short
// counts, never raising SIGPIPE. On failure `error` holds errno (EPIPE or
// ECONNRESET when the peer closed).
namespace LinuxSocketIo {

bool sendAll(int fd, const char* data, size_t length, int& error);

enum class Wait { kReady, kTimedOut, kFailed };
// Waits until `fd` is ready for `events` (poll flags), at most `timeoutMs`
// from `start` (0: no limit); ETIMEDOUT or errno in `error` otherwise.
Wait waitReady(int fd, short events, std::chrono::steady_clock::time_point start,
               uint32_t timeoutMs, int& error);
bool receiveAll(int fd, char* data, size_t length, int& error);

// Whether a server still accepts connections on the socket at `address`
// (a socket file left behind by an ended server accepts none).
bool someoneListens(const sockaddr_un& address);

}  // namespace LinuxSocketIo
