#include "LinuxDriver.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "LinuxPaths.h"
#include "LinuxSocketIo.h"
#include "base/Logger.h"
#include "port/ServiceControl.h"
#include "zorvane_control_socket.h"

namespace {

constexpr long kReplyTimeoutSeconds = 60;
constexpr int kConnectAttempts = 10;


// The error a refused request gives, as the device's status says.
int errorForStatus(uint32_t status) {
    return status == ZORVANE_IO_INVALID_PARAMETER ? EINVAL : EACCES;
}

class LinuxControlHandle : public ControlDeviceHandle {
public:
    explicit LinuxControlHandle(int fd) : mFd(fd) {}
    ~LinuxControlHandle() override { close(mFd); }

    bool control(uint32_t code, char* buffer, uint32_t inputLength, uint32_t outputLength,
                 uint32_t& returned, int& error) override {
        return transfer(ZORVANE_CONTROL_OP_IOCTL, code, buffer, inputLength, outputLength, returned,
                        error);
    }

    bool read(char* buffer, uint32_t length, uint32_t& returned, int& error) override {
        return transfer(ZORVANE_CONTROL_OP_READ, 0, buffer, 0, length, returned, error);
    }

    void cancel() override {
        mDead = true;
        shutdown(mFd, SHUT_RDWR);
    }

private:
    // One request and its reply; requests on a handle never overlap.
    bool transfer(uint32_t op, uint32_t code, char* buffer, uint32_t inputLength,
                  uint32_t outputLength, uint32_t& returned, int& error) {
        std::lock_guard<std::mutex> lock(mLock);
        returned = 0;
        if (mDead) {
            error = EPIPE;
            return false;
        }
        std::vector<char> request(ZORVANE_CONTROL_REQUEST_HEAD_SIZE + inputLength);
        StoreLe32(request.data(), op);
        StoreLe32(request.data() + 4, code);
        StoreLe32(request.data() + 8, inputLength);
        StoreLe32(request.data() + 12, outputLength);
        if (inputLength > 0) {
            memcpy(request.data() + ZORVANE_CONTROL_REQUEST_HEAD_SIZE, buffer, inputLength);
        }
        char head[ZORVANE_CONTROL_REPLY_HEAD_SIZE];
        if (!LinuxSocketIo::sendAll(mFd, request.data(), request.size(), error) ||
            !LinuxSocketIo::receiveAll(mFd, head, sizeof(head), error)) {
            mDead = true;
            return false;
        }
        const uint32_t length = LoadLe32(head + 8);
        if (length > outputLength) {
            // A reply longer than asked breaks the framing: give the handle up.
            error = EPROTO;
            mDead = true;
            return false;
        }
        if (length > 0 && !LinuxSocketIo::receiveAll(mFd, buffer, length, error)) {
            mDead = true;
            return false;
        }
        returned = length;
        if (LoadLe32(head) != 1) {
            error = errorForStatus(LoadLe32(head + 4));
            return false;
        }
        return true;
    }

    int mFd;
    std::mutex mLock;
    std::atomic<bool> mDead{false};
};

}  // namespace

LinuxDriver* LinuxDriver::instance() {
    return PlatformInstance<LinuxDriver>::get([] { return new LinuxDriver(LinuxPaths::runDir() + ZORVANE_CONTROL_SOCKET_NAME); });
}

void LinuxDriver::cleanUp() {
    PlatformInstance<LinuxDriver>::reset();
}

LinuxDriver::LinuxDriver(String socketPath)
    : ControlDeviceDriver("LinuxDriver"), mSocketPath(std::move(socketPath)) {
    initialize();
}

LinuxDriver::~LinuxDriver() {
    UnLoad();
}

std::unique_ptr<ControlDeviceHandle> LinuxDriver::openDevice(int& errCode) {
    sockaddr_un address{};
    if (mSocketPath.size() >= sizeof(address.sun_path)) {
        errCode = ENAMETOOLONG;
        return nullptr;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, mSocketPath.c_str(), mSocketPath.size());
    int fd = -1;
    // A host that is starting has its socket a moment before it accepts:
    // a refused connection is tried again for a little while.
    for (int attempt = 0;; ++attempt) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            errCode = errno;
            return nullptr;
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            break;
        }
        errCode = errno;
        close(fd);
        if (errCode != ECONNREFUSED || attempt >= kConnectAttempts) {
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // A host that stops answering must not hold a caller forever. Reads wait
    // at most the host's own read time-out (20 s) before it answers with a
    // check-exit record, so the bound is well above that.
    timeval timeout{kReplyTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    return std::make_unique<LinuxControlHandle>(fd);
}
