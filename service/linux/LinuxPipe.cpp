#include "LinuxPipe.h"

#include "LinuxSocketIo.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// One accepted client; destroying it hangs up.
class LinuxPipeConnection : public PipeConnection {
public:
    explicit LinuxPipeConnection(int fd) : mFd(fd) {}
    ~LinuxPipeConnection() override { ::close(mFd); }

    size_t readSome(char* buffer, size_t length, uint32_t timeoutMs) override {
        mTimedOut = false;
        const Clock::time_point start = Clock::now();
        for (;;) {
            if (!waitFor(POLLIN, timeoutMs, start)) {
                return 0;
            }
            ssize_t got = ::recv(mFd, buffer, length, MSG_DONTWAIT);
            if (got > 0) {
                return static_cast<size_t>(got);
            }
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            mLastError = got == 0 ? EPIPE : errno;  // EPIPE: the client closed its end
            return 0;
        }
    }

    bool writeAll(const char* data, size_t length, uint32_t timeoutMs) override {
        mTimedOut = false;
        const Clock::time_point start = Clock::now();
        size_t done = 0;
        while (done < length) {
            if (!waitFor(POLLOUT, timeoutMs, start)) {
                return false;
            }
            ssize_t sent = ::send(mFd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (sent <= 0) {
                mLastError = sent < 0 ? errno : EPIPE;
                return false;
            }
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    bool timedOut() const override { return mTimedOut; }
    int lastError() const override { return mLastError; }

    void cancel() override {
        mCancelled = true;
        // Wakes a poll on the socket at once; the descriptor stays ours
        // until the connection is destroyed.
        ::shutdown(mFd, SHUT_RDWR);
    }

    String peerIdentity() const override {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(mFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            return String();
        }
        return String("uid:" + std::to_string(peer.uid));
    }

private:
    // Waits until the socket is ready for `events`; false on time-out,
    // cancellation or failure.
    bool waitFor(short events, uint32_t timeoutMs, Clock::time_point start) {
        if (mCancelled) {
            mLastError = ECANCELED;
            return false;
        }
        const LinuxSocketIo::Wait wait =
            LinuxSocketIo::waitReady(mFd, events, start, timeoutMs, mLastError);
        mTimedOut = wait == LinuxSocketIo::Wait::kTimedOut;
        return wait == LinuxSocketIo::Wait::kReady;
    }

    int mFd;
    std::atomic<bool> mCancelled{false};
    bool mTimedOut = false;
    int mLastError = 0;
};

}  // namespace

std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs) {
    return std::make_unique<LinuxPipe>(std::move(name), timeoutMs);
}

LinuxPipe::LinuxPipe(String name, uint32_t timeout)
    : mServer(std::move(name)), mPipeTimeout(timeout) {}

std::unique_ptr<PipeConnection> LinuxPipe::waitForClient() {
    int fd = mServer.accept();
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<LinuxPipeConnection>(fd);
}
