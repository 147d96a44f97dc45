#pragma once

#include <cstdint>

#include "PipeClient.h"
#include "base/String.h"

// The UI pipe's client end on Linux: a Unix stream socket. A second client
// while one is served waits in the service's backlog.
class LinuxPipeClient : public PipeClient {
public:
    // An empty path means LinuxPaths::runDir() + "zorvane_pipe", read when
    // the socket is opened.
    explicit LinuxPipeClient(String path = String());
    ~LinuxPipeClient() override;

    bool open() override;
    bool isOpen() const override { return mFd >= 0; }
    // Never raises SIGPIPE when the service has gone.
    bool write(const char* data, uint32_t length) override;
    uint32_t read(char* buffer, uint32_t length) override;
    String name() const override;
    int lastError() const override { return mLastError; }

private:
    String mPath;
    int mFd = -1;
    int mLastError = 0;
};
