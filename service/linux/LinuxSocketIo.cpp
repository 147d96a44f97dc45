#include "LinuxSocketIo.h"

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
