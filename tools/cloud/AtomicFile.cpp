#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void failWith(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
    std::string temporary = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(&temporary[0]);
    if (fd < 0) {
        failWith("cannot create", temporary, errno);
    }
    const char* data = content.data();
    size_t left = content.size();
    int error = 0;
    while (left > 0 && error == 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno != EINTR) {
            error = errno;
        } else if (written > 0) {
            data += written;
            left -= static_cast<size_t>(written);
        }
    }
    if (error == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        failWith("cannot write", path, error);
    }
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failWith("cannot read", path, errno);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
