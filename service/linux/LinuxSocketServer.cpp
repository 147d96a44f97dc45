#include "LinuxSocketServer.h"

#include "LinuxSocketIo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

namespace {

constexpr int kBacklog = 16;

// The servers that bound a socket file and have not removed it yet.
std::mutex& listenersLock() {
    static std::mutex* lock = new std::mutex;  // outlives every server
    return *lock;
}
std::set<LinuxSocketServer*>& listeners() {
    static auto* servers = new std::set<LinuxSocketServer*>;
    return *servers;
}

bool makeAddress(const String& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// Creates every missing folder of `folder` (mode 0755).
int makeFolders(const String& folder) {
    for (size_t slash = folder.find('/', 1); slash != String::npos;
         slash = folder.find('/', slash + 1)) {
        String part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    return 0;
}

}  // namespace

LinuxSocketServer::LinuxSocketServer(String path) : mPath(std::move(path)) {
    if (::pipe2(mWakeFd, O_CLOEXEC | O_NONBLOCK) != 0) {
        mWakeFd[0] = mWakeFd[1] = -1;
    }
}

LinuxSocketServer::~LinuxSocketServer() {
    closeListener();
    for (int fd : mWakeFd) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void LinuxSocketServer::closeListener() {
    if (mListenFd >= 0) {
        ::close(mListenFd);
        mListenFd = -1;
    }
    std::lock_guard<std::mutex> lock(listenersLock());
    listeners().erase(this);
    removeOwnFile();
}

void LinuxSocketServer::removeOwnFile() {
    if (mOwnsFile) {
        // A later server may have replaced the file; leave that one alone.
        struct stat info {};
        if (::lstat(mPath.c_str(), &info) == 0 && info.st_dev == mFileDevice &&
            info.st_ino == mFileInode) {
            ::unlink(mPath.c_str());
        }
        mOwnsFile = false;
    }
}

void LinuxSocketServer::removeSocketFiles() {
    std::lock_guard<std::mutex> lock(listenersLock());
    for (LinuxSocketServer* server : listeners()) {
        server->removeOwnFile();
    }
    listeners().clear();
}

bool LinuxSocketServer::listen() {
    closeListener();
    sockaddr_un address;
    if (!makeAddress(mPath, address)) {
        mLastError = ENAMETOOLONG;
        return false;
    }
    size_t lastSlash = mPath.rfind('/');
    if (lastSlash != String::npos && lastSlash > 0) {
        if (int error = makeFolders(mPath.substr(0, lastSlash))) {
            mLastError = error;
            return false;
        }
    }
    struct stat existing {};
    if (::lstat(mPath.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            mLastError = EEXIST;
            return false;
        }
        if (LinuxSocketIo::someoneListens(address)) {
            mLastError = EADDRINUSE;
            return false;
        }
        // Left behind by a server that ended without cleaning up.
        ::unlink(mPath.c_str());
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        mLastError = errno;
        return false;
    }
    struct stat bound {};
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        mLastError = errno;
        ::close(fd);
        return false;
    }
    // Every local user may connect, whatever the umask made of the file.
    if (::chmod(mPath.c_str(), 0666) != 0 || ::lstat(mPath.c_str(), &bound) != 0 ||
        ::listen(fd, kBacklog) != 0) {
        mLastError = errno;
        ::close(fd);
        ::unlink(mPath.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(listenersLock());
    mListenFd = fd;
    mOwnsFile = true;
    mFileDevice = bound.st_dev;
    mFileInode = bound.st_ino;
    mLastError = 0;
    listeners().insert(this);
    return true;
}

int LinuxSocketServer::accept() {
    if (mListenFd < 0) {
        mLastError = EBADF;
        return -1;
    }
    for (;;) {
        pollfd waits[2] = {{mListenFd, POLLIN, 0}, {mWakeFd[0], POLLIN, 0}};
        if (::poll(waits, mWakeFd[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            mLastError = errno;
            return -1;
        }
        if (waits[1].revents != 0) {
            mLastError = ECANCELED;
            return -1;
        }
        int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            mLastError = 0;
            return fd;
        }
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            mLastError = errno;
            return -1;
        }
    }
}

void LinuxSocketServer::cancelAccept() {
    if (mWakeFd[1] >= 0) {
        const char wake = 1;
        (void)!::write(mWakeFd[1], &wake, 1);
    }
}
