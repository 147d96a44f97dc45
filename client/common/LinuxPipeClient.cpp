#include "LinuxPipeClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "LinuxPaths.h"
#include "LinuxSocketIo.h"

namespace {

using Clock = std::chrono::steady_clock;

// A full listen backlog refuses a non-blocking connect at once: try again.
constexpr std::chrono::milliseconds kConnectRetry(20);

}  // namespace

std::unique_ptr<PipeClient> makeUiPipeClient() {
    return std::make_unique<LinuxPipeClient>();
}

LinuxPipeClient::LinuxPipeClient(String path) : LinuxPipeClient(std::move(path), Timeouts()) {}

LinuxPipeClient::LinuxPipeClient(String path, Timeouts timeouts)
    : mPath(std::move(path)), mTimeouts(timeouts) {}

LinuxPipeClient::~LinuxPipeClient() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

String LinuxPipeClient::name() const {
    return mPath.empty() ? String(LinuxPaths::runDir() + "zorvane_pipe") : mPath;
}

bool LinuxPipeClient::open() {
    mTimedOut = false;
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
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        mLastError = errno;
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(mTimeouts.connectMs);
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || Clock::now() >= deadline) {
            mTimedOut = errno == EAGAIN;
            mLastError = mTimedOut ? ETIMEDOUT : errno;
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(kConnectRetry);
    }
    mFd = fd;
    return true;
}

bool LinuxPipeClient::waitFor(short events, uint32_t timeoutMs) {
    const LinuxSocketIo::Wait wait =
        LinuxSocketIo::waitReady(mFd, events, Clock::now(), timeoutMs, mLastError);
    mTimedOut = wait == LinuxSocketIo::Wait::kTimedOut;
    return wait == LinuxSocketIo::Wait::kReady;
}

bool LinuxPipeClient::write(const char* data, uint32_t length) {
    mTimedOut = false;
    if (mFd < 0) {
        mLastError = ENOTCONN;
        return false;
    }
    uint32_t done = 0;
    while (done < length) {
        if (!waitFor(POLLOUT, mTimeouts.sendMs)) {
            return false;
        }
        ssize_t sent = ::send(mFd, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN)) {
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
    mTimedOut = false;
    if (mFd < 0) {
        mLastError = ENOTCONN;
        return 0;
    }
    for (;;) {
        if (!waitFor(POLLIN, mTimeouts.answerMs)) {
            return 0;
        }
        ssize_t got = ::recv(mFd, buffer, length, 0);
        if (got > 0) {
            return static_cast<uint32_t>(got);
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        mLastError = got == 0 ? EPIPE : errno;
        return 0;
    }
}
