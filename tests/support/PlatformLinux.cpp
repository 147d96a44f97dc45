#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "LinuxThreadHandler.h"
#include "TestSupport.h"

void registerPlatformSingletons() {
    LinuxThreadHandler::instance();
}

bool runningUnderWine() {
    return false;
}

bool socketAccepts(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool accepted =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return accepted;
}
