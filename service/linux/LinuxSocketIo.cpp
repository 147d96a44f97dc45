#include "LinuxSocketIo.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace LinuxSocketIo {

bool sendAll(int fd, const char* data, size_t length, int& error) {
    while (length > 0) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            error = sent < 0 ? errno : EPIPE;
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

Wait waitReady(int fd, short events, std::chrono::steady_clock::time_point start,
               uint32_t timeoutMs, int& error) {
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                error = ETIMEDOUT;
                return Wait::kTimedOut;
            }
            wait = static_cast<int>(left.count());
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0) {
            return Wait::kReady;
        }
        if (ready < 0 && errno != EINTR) {
            error = errno;
            return Wait::kFailed;
        }
    }
}

bool receiveAll(int fd, char* data, size_t length, int& error) {
    while (length > 0) {
        ssize_t got = ::recv(fd, data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : ECONNRESET;
            return false;
        }
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool someoneListens(const sockaddr_un& address) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return live;
}

}  // namespace LinuxSocketIo
