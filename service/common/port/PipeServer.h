#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/String.h"

// One client of a pipe server. Implemented by the platform's pipe server
// (WinPipe: a named pipe instance; LinuxPipe: an accepted Unix socket). Reads
// and writes block; only the thread that took the connection uses it.
class PipeConnection {
public:
    virtual ~PipeConnection() = default;
    // One read of at most `length` bytes: the count read, 0 when the client
    // has gone or the read failed.
    virtual size_t readSome(char* buffer, size_t length) = 0;
    // Writes all bytes; false on failure.
    virtual bool writeAll(const char* data, size_t length) = 0;
    // The system's error code of the last failed operation.
    virtual int lastError() const = 0;
};

// The listening end of a local stream channel open to every local user (the
// desktop channel, the notifier command channel). Implemented once per
// platform: WinPipe (a named pipe with the Everyone DACL), LinuxPipe (a Unix
// stream socket of mode 0666). waitForClient blocks until a client comes.
// A connection ends when it is destroyed; it must go before its server.
class PipeServer {
public:
    virtual ~PipeServer() = default;

    // Creates the listening end (again, after a failure); false with the
    // error in lastError.
    virtual bool create() = 0;
    virtual bool exists() const = 0;
    // Waits for the next client: its connection, or null with the error in
    // lastError. Today's servers take one client at a time: the next waits
    // until the current connection has been destroyed.
    virtual std::unique_ptr<PipeConnection> waitForClient() = 0;
    virtual int lastError() const = 0;
    virtual const String& name() const = 0;
};

// The platform's pipe server for `name` (a pipe name on Windows, a socket
// path on Linux), not yet created. `timeoutMs` is the clients' default wait
// where the platform has one.
std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs);
