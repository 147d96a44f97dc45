#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "LinuxNotifyFolders.h"
#include "LinuxSocketIo.h"
#include "base/Logger.h"
#include "port/UserNotifierChannel.h"

namespace {

// Per-user notifier sockets <run dir>notify/<SID>/notifier, in a folder the
// service made for that user. The socket is reached without following a
// link, and its server's identity is checked before anything is sent.
class LinuxUserNotifierChannel : public UserNotifierChannel {
public:
    ~LinuxUserNotifierChannel() override { close(); }

    String name(const String& sid) const override {
        return LinuxNotifyFolders::socketPath(sid);
    }

    bool connect(const String& sid, int& error) override {
        close();
        uid_t expected = 0;
        if (!LinuxNotifyFolders::uidOfSid(sid, expected)) {
            error = EINVAL;
            return false;
        }
        const String path = name(sid);
        // The folder's owner could swap the socket for a link at any time:
        // connect through a handle of the very socket that was checked.
        const int folder = ::open(LinuxNotifyFolders::userFolder(sid).c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder < 0) {
            error = errno;
            return false;
        }
        const int socketFile =
            ::openat(folder, LinuxNotifyFolders::kSocketName, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        error = errno;
        struct stat folderInfo {};
        struct stat info {};
        const bool owned = socketFile >= 0 && ::fstat(folder, &folderInfo) == 0 &&
                           ::fstat(socketFile, &info) == 0 && folderInfo.st_uid == expected &&
                           S_ISSOCK(info.st_mode) && info.st_uid == expected;
        ::close(folder);
        if (!owned) {
            if (socketFile >= 0) {
                ::close(socketFile);
                Logger::instance()->out(LOGLEVEL_ERROR,
                                        "LinuxNotifier %s is not a socket of the user\n",
                                        path.c_str());
                error = EPERM;
            }
            return false;
        }
        const std::string handlePath = "/proc/self/fd/" + std::to_string(socketFile);
        mSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mSocket < 0) {
            error = errno;
            ::close(socketFile);
            return false;
        }
        timeval timeout{static_cast<time_t>(kTimeoutMs / 1000),
                        static_cast<suseconds_t>((kTimeoutMs % 1000) * 1000)};
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(mSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, handlePath.c_str(), handlePath.size() + 1);
        const int connected =
            ::connect(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        error = errno;
        ::close(socketFile);
        if (connected != 0) {
            close();
            return false;
        }
        // The socket file is the user's, but whoever listens on it must be too.
        ucred peer{};
        socklen_t peerLength = sizeof peer;
        if (getsockopt(mSocket, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
            peer.uid != expected) {
            Logger::instance()->out(LOGLEVEL_ERROR,
                                    "LinuxNotifier %s is served by uid %d, not the user\n",
                                    path.c_str(), static_cast<int>(peer.uid));
            error = EPERM;
            close();
            return false;
        }
        return true;
    }

    bool write(const char* data, uint32_t length, int& error) override {
        return LinuxSocketIo::sendAll(mSocket, data, length, error);
    }

    bool read(char* data, uint32_t length, int& error) override {
        return LinuxSocketIo::receiveAll(mSocket, data, length, error);
    }

    void close() override {
        if (mSocket >= 0) {
            ::close(mSocket);
            mSocket = -1;
        }
    }

private:
    int mSocket = -1;
};

}  // namespace

std::unique_ptr<UserNotifierChannel> UserNotifierChannel::create() {
    return std::make_unique<LinuxUserNotifierChannel>();
}
