#include "ControlServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Accept.h"
#include "Dispatch.h"
#include "ReadQueue.h"
#include "ZorvaneLog.h"
#include "zorvane_bytes.h"
#include "zorvane_control_socket.h"

namespace {

bool readAll(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t got = recv(fd, data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendReply(int fd, bool success, uint32_t status, const uint8_t* output, uint32_t length) {
    std::vector<uint8_t> reply(ZORVANE_CONTROL_REPLY_HEAD_SIZE + length);
    StoreLe32(reply.data(), success ? 1 : 0);
    StoreLe32(reply.data() + 4, status);
    StoreLe32(reply.data() + 8, length);
    if (length > 0) {
        memcpy(reply.data() + ZORVANE_CONTROL_REPLY_HEAD_SIZE, output, length);
    }
    return writeAll(fd, reply.data(), reply.size());
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) {
        return false;
    }
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether something answers on the socket path.
bool answers(const sockaddr_un& address) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

}  // namespace

ControlServer::ControlServer(std::string path, ZorvaneDeviceControlFn control)
    : mPath(std::move(path)), mControl(control != nullptr ? control : ZorvaneDeviceControl) {}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::start(std::string* error) {
    sockaddr_un address{};
    if (!fillAddress(mPath, &address)) {
        *error = "socket path too long: " + mPath;
        return false;
    }
    struct stat existing {};
    if (lstat(mPath.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = mPath + " exists and is not a socket";
            return false;
        }
        if (answers(address)) {
            *error = "another filter host answers on " + mPath;
            return false;
        }
        unlink(mPath.c_str());  // left behind by a host that ended abruptly
    }
    mListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListenFd < 0 || pipe2(mWakeFds, O_CLOEXEC) != 0) {
        *error = std::string("socket: ") + strerror(errno);
        return false;
    }
    // Private from the moment it exists: only the host's user may connect.
    const mode_t previous = umask(0177);
    const int bound = bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    umask(previous);
    if (bound != 0 || listen(mListenFd, 8) != 0 || chmod(mPath.c_str(), 0600) != 0) {
        *error = "cannot serve " + mPath + ": " + strerror(errno);
        return false;
    }
    struct stat bound_stat {};
    if (stat(mPath.c_str(), &bound_stat) == 0) {
        mSocketInode = bound_stat.st_ino;
    }
    mAcceptThread = std::thread(&ControlServer::acceptLoop, this);
    return true;
}

void ControlServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping) {
            return;
        }
        mStopping = true;
    }
    if (mWakeFds[1] >= 0) {
        const char wake = 1;
        (void)!write(mWakeFds[1], &wake, 1);
    }
    if (mAcceptThread.joinable()) {
        mAcceptThread.join();
    }
    // The device is going away: a waiting read returns now and its reply is
    // still sent; then each connection stops reading requests.
    ZorvaneUnloadReadQueue();
    for (Connection& connection : mConnections) {
        shutdown(connection.fd, SHUT_RD);
    }
    for (Connection& connection : mConnections) {
        connection.thread.join();
        close(connection.fd);
    }
    mConnections.clear();
    if (mListenFd >= 0) {
        close(mListenFd);
        mListenFd = -1;
        struct stat current {};
        if (stat(mPath.c_str(), &current) == 0 && current.st_ino == mSocketInode) {
            unlink(mPath.c_str());
        }
    }
    for (int& fd : mWakeFds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void ControlServer::acceptLoop() {
    for (;;) {
        const int fd = acceptUntilWoken(mListenFd, mWakeFds[0], "control socket");
        if (fd < 0) {
            return;
        }
        if (!peerAllowed(fd)) {
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> lock(mMutex);
        reapLocked();
        if (mStopping) {
            close(fd);
            return;
        }
        mConnections.emplace_back();
        Connection* connection = &mConnections.back();
        connection->fd = fd;
        connection->thread = std::thread(&ControlServer::serve, this, connection);
    }
}

bool ControlServer::peerAllowed(int fd) const {
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        return false;
    }
    if (peer.uid == 0 || peer.uid == geteuid()) {
        return true;
    }
    ZorvLog(ZORVANE_DBG_ERROR, "control connection of uid %d refused\n",
            static_cast<int>(peer.uid));
    return false;
}

void ControlServer::reapLocked() {
    for (auto it = mConnections.begin(); it != mConnections.end();) {
        if (it->done) {
            it->thread.join();
            close(it->fd);
            it = mConnections.erase(it);
        } else {
            ++it;
        }
    }
}

void ControlServer::serve(Connection* connection) {
    const int fd = connection->fd;
    std::vector<uint8_t> buffer;
    for (;;) {
        uint8_t head[ZORVANE_CONTROL_REQUEST_HEAD_SIZE];
        if (!readAll(fd, head, sizeof(head))) {
            break;
        }
        const uint32_t op = LoadLe32(head);
        const uint32_t code = LoadLe32(head + 4);
        const uint32_t inputLength = LoadLe32(head + 8);
        const uint32_t outputLength = LoadLe32(head + 12);
        if (inputLength > ZORVANE_CONTROL_MAX_TRANSFER ||
            outputLength > ZORVANE_CONTROL_MAX_TRANSFER) {
            ZorvLog(ZORVANE_DBG_ERROR, "control request too large %u %u\n", inputLength,
                    outputLength);
            break;
        }
        // One buffer for request and reply, as with buffered device transfers.
        buffer.assign(inputLength > outputLength ? inputLength : outputLength, 0);
        if (inputLength > 0 && !readAll(fd, buffer.data(), inputLength)) {
            break;
        }
        bool sent = false;
        if (op == ZORVANE_CONTROL_OP_IOCTL) {
            uint32_t returned = 0;
            const E_ZorvaneIoStatus status =
                mControl(code, buffer.data(), inputLength, outputLength, &returned);
            sent = sendReply(fd, status == ZORVANE_IO_SUCCESS, status, buffer.data(), returned);
        } else if (op == ZORVANE_CONTROL_OP_READ && inputLength == 0) {
            const uint32_t returned = ZorvaneDeviceRead(buffer.data(), outputLength);
            sent = sendReply(fd, true, ZORVANE_IO_SUCCESS, buffer.data(), returned);
        } else {
            ZorvLog(ZORVANE_DBG_ERROR, "control request with op %u refused\n", op);
        }
        if (!sent) {
            break;
        }
    }
    shutdown(fd, SHUT_RDWR);
    connection->done = true;
}
