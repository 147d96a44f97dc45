#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/String.h"

// One client of a pipe server. Implemented by the platform's pipe server
// (WinPipe: a named pipe instance; LinuxPipe: an accepted Unix socket). Reads
// and writes block for at most the time given (0: no limit); one thread does
// the reading and writing, any thread may cancel.
class PipeConnection {
public:
    virtual ~PipeConnection() = default;
    // One read of at most `length` bytes: the count read, 0 when the client
    // has gone, the read failed, the time ran out (timedOut) or the
    // connection was cancelled.
    virtual size_t readSome(char* buffer, size_t length, uint32_t timeoutMs) = 0;
    // Writes all bytes within `timeoutMs`; false on failure or time-out.
    virtual bool writeAll(const char* data, size_t length, uint32_t timeoutMs) = 0;
    // Whether the last failure was a time-out.
    virtual bool timedOut() const = 0;
    // The system's error code of the last failed operation.
    virtual int lastError() const = 0;
    // Ends a wait in readSome or writeAll at once; every later call fails.
    virtual void cancel() = 0;
    // The local account the client runs as (Linux: "uid:<n>"; Windows: the
    // SID text of the client process's user); empty when unknown.
    virtual String peerIdentity() const = 0;
};

// The listening end of a local stream channel open to every local user (the
// desktop channel, the notifier command channel). Implemented once per
// platform: WinPipe (named pipe instances with the Everyone DACL), LinuxPipe
// (a Unix stream socket of mode 0666). Several clients may be connected at
// once; each connection ends when it is destroyed and must go before its
// server.
class PipeServer {
public:
    virtual ~PipeServer() = default;

    // Creates the listening end (again, after a failure); false with the
    // error in lastError.
    virtual bool create() = 0;
    virtual bool exists() const = 0;
    // Waits for the next client: its connection, or null with the error in
    // lastError (also once cancelWait was called).
    virtual std::unique_ptr<PipeConnection> waitForClient() = 0;
    // Ends a wait in waitForClient from another thread; every later wait
    // fails at once.
    virtual void cancelWait() = 0;
    virtual int lastError() const = 0;
    virtual const String& name() const = 0;
};

// The platform's pipe server for `name` (a pipe name on Windows, a socket
// path on Linux), not yet created. `timeoutMs` is the clients' default wait
// where the platform has one.
std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs);
