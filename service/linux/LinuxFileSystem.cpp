#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "port/FileSystem.h"

namespace FileSystem {

namespace {

class Fd {
public:
    explicit Fd(int fd) : mFd(fd) {}
    ~Fd() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

bool writeAll(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, static_cast<size_t>(length));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

}  // namespace

bool copyFile(const String& from, const String& to) {
    Fd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(source.get(), &status) != 0) {
        return false;
    }
    Fd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, status.st_mode & 0777));
    if (target.get() < 0) {
        return false;
    }
    char block[64 * 1024];
    for (;;) {
        ssize_t got = ::read(source.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!writeAll(target.get(), block, got)) {
            return false;
        }
    }
    // Keep the source's times, as the Windows copy does.
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    return ::futimens(target.get(), times) == 0;
}

bool deleteFile(const String& path) {
    return ::unlink(path.c_str()) == 0;
}

bool replaceFile(const String& from, const String& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool makePrivateFile(const String& path) {
    Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) {
        return false;
    }
    return ::fchmod(file.get(), 0600) == 0;
}

int lastError() {
    return errno;
}

}  // namespace FileSystem
