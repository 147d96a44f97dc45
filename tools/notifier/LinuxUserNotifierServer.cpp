#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "zorvane_bytes.h"
#include "LinuxNotifyFolders.h"
#include "LinuxSocketIo.h"
#include "UserNotifierServer.h"

namespace {

constexpr std::chrono::milliseconds kPlacePoll(200);

// <run dir>notify/<SID>/notifier: the folder is this user's alone, made by
// the service, so nobody else can take the name.
class LinuxUserNotifierServer : public UserNotifierServer {
public:
    explicit LinuxUserNotifierServer(const String& sid)
        : mFolder(LinuxNotifyFolders::userFolder(sid)),
          mPath(LinuxNotifyFolders::socketPath(sid)) {}

    ~LinuxUserNotifierServer() override {
        stop();
        if (mListening) {
            ::unlink(mPath.c_str());
        }
        if (mSocket >= 0) {
            ::close(mSocket);
        }
    }

    bool waitForPlace(const std::function<void(const String&)>& waiting) override {
        bool told = false;
        while (!mStopped) {
            struct stat info {};
            if (::lstat(mFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                info.st_uid == ::geteuid()) {
                return true;
            }
            if (!told) {
                waiting(String("waiting for " + mFolder +
                               ", the folder the filtering service makes for this user"));
                told = true;
            }
            std::this_thread::sleep_for(kPlacePoll);
        }
        return false;
    }

    bool listen(int& error) override {
        sockaddr_un address{};
        if (mPath.size() >= sizeof address.sun_path) {
            error = ENAMETOOLONG;
            return false;
        }
        mSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mSocket < 0) {
            error = errno;
            return false;
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, mPath.c_str(), mPath.size() + 1);
        if (LinuxSocketIo::someoneListens(address)) {
            error = EADDRINUSE;
            return false;
        }
        ::unlink(mPath.c_str());  // a stale socket of an earlier run; the folder is ours
        if (::bind(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(mSocket, 4) != 0) {
            error = errno;
            return false;
        }
        // The service connects as root; other users cannot write to it.
        ::chmod(mPath.c_str(), 0600);
        mListening = true;
        return true;
    }

    bool serveOne(std::vector<char>& message, uint32_t answer) override {
        message.clear();
        if (mStopped) {
            return false;
        }
        int client = ::accept4(mSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 || mStopped) {
            if (client >= 0) {
                ::close(client);
            }
            return false;
        }
        timeval timeout{5, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        int error = 0;
        char count[4];
        bool ok = LinuxSocketIo::receiveAll(client, count, sizeof count, error);
        uint32_t length = ok ? LoadLe32(count) : 0;
        ok = ok && length <= kMaxMessage;
        if (ok) {
            message.resize(length);
            ok = LinuxSocketIo::receiveAll(client, message.data(), length, error);
        }
        if (ok) {
            char reply[4];
            StoreLe32(reply, answer);
            ok = LinuxSocketIo::sendAll(client, reply, sizeof reply, error);
        }
        ::close(client);
        if (!ok) {
            message.clear();
        }
        return ok;
    }

    String name() const override { return mPath; }

    void stop() override {
        mStopped = true;
        if (mSocket >= 0) {
            ::shutdown(mSocket, SHUT_RDWR);  // wakes a waiting accept
        }
    }

private:
    String mFolder;
    String mPath;
    int mSocket = -1;
    bool mListening = false;
    std::atomic<bool> mStopped{false};
};

}  // namespace

std::unique_ptr<UserNotifierServer> UserNotifierServer::create(const String& sid) {
    return std::make_unique<LinuxUserNotifierServer>(sid);
}
