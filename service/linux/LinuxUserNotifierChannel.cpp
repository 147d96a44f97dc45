#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "LinuxPaths.h"
#include "LinuxSocketIo.h"
#include "base/Logger.h"
#include "port/UserNotifierChannel.h"

namespace {

const char kUnixSidPrefix[] = "S-1-22-1-";

// The uid a Unix-user SID names; false for any other SID.
bool uidOfSid(const String& sid, uid_t& uid) {
    if (sid.indexOf(kUnixSidPrefix) != 0) {
        return false;
    }
    String digits = sid.after(kUnixSidPrefix);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 10) {
        return false;
    }
    unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    uid = static_cast<uid_t>(value);
    return value == static_cast<unsigned long>(uid);
}

// Per-user notifier sockets in <run dir>notify/<SID>. The folder is shared
// (sticky, like /tmp), so the listener's identity is checked before anything
// is sent: nobody may read another user's notices.
class LinuxUserNotifierChannel : public UserNotifierChannel {
public:
    ~LinuxUserNotifierChannel() override { close(); }

    String name(const String& sid) const override {
        return String(LinuxPaths::runDir() + "notify/" + sid);
    }

    bool connect(const String& sid, int& error) override {
        close();
        uid_t expected = 0;
        String path = name(sid);
        sockaddr_un address{};
        if (!uidOfSid(sid, expected) || path.size() >= sizeof address.sun_path ||
            sid.contains("/")) {
            error = EINVAL;
            return false;
        }
        mSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mSocket < 0) {
            error = errno;
            return false;
        }
        timeval timeout{static_cast<time_t>(kTimeoutMs / 1000),
                        static_cast<suseconds_t>((kTimeoutMs % 1000) * 1000)};
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(mSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = errno;
            close();
            return false;
        }
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
