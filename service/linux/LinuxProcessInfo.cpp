#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "port/ProcessInfo.h"

namespace ProcessInfo {

unsigned long currentProcessId() { return static_cast<unsigned long>(getpid()); }

ImageResult executablePath(unsigned long pid, String& path, int& error) {
    const std::string folder = "/proc/" + std::to_string(pid);
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) {
        error = errno;
        return IMAGE_OPEN_FAILED;
    }
    char target[4096];
    ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (length < 0) {
        error = errno;
        return IMAGE_NAME_FAILED;
    }
    path = String(target, static_cast<int>(length));
    return IMAGE_OK;
}

}  // namespace ProcessInfo
