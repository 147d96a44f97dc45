#pragma once

#include <cstdint>

#include "PipeClient.h"
#include "base/String.h"

// The UI pipe's client end on Linux: a Unix stream socket. Each step has a
// time-out of its own, so a service that hangs cannot hold the caller.
class LinuxPipeClient : public PipeClient {
public:
    struct Timeouts {
        uint32_t connectMs = 5000;  // the service takes the connection
        uint32_t sendMs = 10000;    // ... and the request
        // ... and answers: a sign-in asks the cloud, and repeated wrong
        // passwords are answered only after a back-off.
        uint32_t answerMs = 120000;
    };

    // An empty path means LinuxPaths::runDir() + "zorvane_pipe", read when
    // the socket is opened.
    explicit LinuxPipeClient(String path = String());
    LinuxPipeClient(String path, Timeouts timeouts);
    ~LinuxPipeClient() override;

    bool open() override;
    bool isOpen() const override { return mFd >= 0; }
    // Never raises SIGPIPE when the service has gone.
    bool write(const char* data, uint32_t length) override;
    uint32_t read(char* buffer, uint32_t length) override;
    String name() const override;
    int lastError() const override { return mLastError; }
    bool timedOut() const override { return mTimedOut; }
    const Timeouts& timeouts() const { return mTimeouts; }

private:
    // Waits until the socket is ready for `events` within `timeoutMs`.
    bool waitFor(short events, uint32_t timeoutMs);

    String mPath;
    Timeouts mTimeouts;
    bool mTimedOut = false;
    int mFd = -1;
    int mLastError = 0;
};
