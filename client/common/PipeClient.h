#pragma once

#include <cstdint>
#include <memory>

#include "base/String.h"

// The desktop program's end of the service's UI pipe. One implementation per
// platform (WinPipeClient, LinuxPipeClient), chosen by the build.
class PipeClient {
public:
    PipeClient() = default;
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;
    virtual ~PipeClient() = default;

    // Opens the pipe unless it is open; false at once when the service's
    // pipe does not exist or is busy (no waiting).
    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    // One write of all bytes; false on failure.
    virtual bool write(const char* data, uint32_t length) = 0;
    // One read of at most `length` bytes: the count read, 0 when the service
    // has gone or the read failed.
    virtual uint32_t read(char* buffer, uint32_t length) = 0;
    // Where the pipe is, for messages.
    virtual String name() const = 0;
    // The system's error code of the last failed operation.
    virtual int lastError() const = 0;
    // Whether the last failure was a time-out (where the platform sets any).
    virtual bool timedOut() const { return false; }
};

// A client of the service's UI pipe at its fixed place.
std::unique_ptr<PipeClient> makeUiPipeClient();
