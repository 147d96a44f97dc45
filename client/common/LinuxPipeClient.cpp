#include "LinuxPipeClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LinuxPaths.h"

std::unique_ptr<PipeClient> makeUiPipeClient() {
    return std::make_unique<LinuxPipeClient>();
}

LinuxPipeClient::LinuxPipeClient(String path) : mPath(std::move(path)) {}

LinuxPipeClient::~LinuxPipeClient() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

String LinuxPipeClient::name() const {
    return mPath.empty() ? String(LinuxPaths::runDir() + "zorvane_pipe") : mPath;
}

bool LinuxPipeClient::open() {
    if (mFd >= 0) {
        return true;
    }
    const String path = name();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        mLastError = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        mLastError = errno;
        return false;
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        mLastError = errno;
        ::close(fd);
        return false;
    }
    mFd = fd;
    return true;
}

bool LinuxPipeClient::write(const char* data, uint32_t length) {
    if (mFd < 0) {
        mLastError = ENOTCONN;
        return false;
    }
    uint32_t done = 0;
    while (done < length) {
        ssize_t sent = ::send(mFd, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            mLastError = sent < 0 ? errno : EPIPE;
            return false;
        }
        done += static_cast<uint32_t>(sent);
    }
    return true;
}

uint32_t LinuxPipeClient::read(char* buffer, uint32_t length) {
    if (mFd < 0) {
        mLastError = ENOTCONN;
        return 0;
    }
    for (;;) {
        ssize_t got = ::recv(mFd, buffer, length, 0);
        if (got > 0) {
            return static_cast<uint32_t>(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        mLastError = got == 0 ? EPIPE : errno;
        return 0;
    }
}
