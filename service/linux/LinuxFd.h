#pragma once

#include <unistd.h>

// An owned file descriptor, closed when the object goes.
class LinuxFd {
public:
    explicit LinuxFd(int fd = -1) : mFd(fd) {}
    ~LinuxFd() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    LinuxFd(const LinuxFd&) = delete;
    LinuxFd& operator=(const LinuxFd&) = delete;

    int get() const { return mFd; }
    bool valid() const { return mFd >= 0; }
    // Hands the descriptor over; this object no longer closes it.
    int release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }

private:
    int mFd;
};
